#!/usr/bin/python3
"""Resident memory of relvoserver while many sessions send long messages at once (loopback only).

Opens SESSIONS connections from the loopback aliases 127.0.0.2, 127.0.0.3, ..., takes each to its
354, then lets all of them send a SIZE MB message together, and prints relvoserver's peak
resident memory (VmHWM), its largest sampled resident size, the messages queued and the time.
The application directory (with every queued message) is removed at the end.

usage: bench/smtp_abuse_memory.py [--server build/bin/relvoserver] [--sessions 200] [--size 45]
"""
import argparse
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "mailservice", "server"))
from relvo_server_process import RelvoServer, free_port, make_app_dir, remove_app_dir  # noqa: E402

MB = 1024 * 1024


def memory(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) // 1024
    return 0


def reply(answers):
    line = answers.readline()
    while line[3:4] == b"-":
        line = answers.readline()
    return line


def session(port, number, text, ready, go, results):
    source = f"127.0.{1 + number // 250}.{2 + number % 250}"
    with socket.create_connection(("127.0.0.1", port), source_address=(source, 0)) as sock:
        answers = sock.makefile("rb")
        reply(answers)
        sock.sendall(b"EHLO bench.test\r\n")
        reply(answers)
        sock.sendall(b"MAIL FROM:<a@bench.test>\r\nRCPT TO:<b@far.test>\r\nDATA\r\n")
        got = [reply(answers)[:3] for _ in range(3)]
        ready.release()
        go.wait()
        if got == [b"250", b"250", b"354"]:
            view = memoryview(text)
            for start in range(0, len(text), MB):
                sock.sendall(view[start:start + MB])
            results[number] = reply(answers)[:3] == b"250"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default=os.path.join(HERE, "..", "build", "bin",
                                                         "relvoserver"))
    parser.add_argument("--sessions", type=int, default=200)
    parser.add_argument("--size", type=int, default=45, help="MB per message")
    args = parser.parse_args()
    line = b"0123456789abcdefghijklmnopqrstuvwxyz" * 2 + b"\r\n"
    text = b"Subject: long\r\n\r\n" + line * (args.size * MB // len(line)) + b".\r\n"
    port = free_port()
    app_dir = make_app_dir(port, {"SmtpMaxMessageSize": (args.size + 1) * MB,
                                  "SmtpMaxSessions": args.sessions, "SmtpDataTimeout": 600})
    server = RelvoServer(args.server, app_dir, port).start()
    try:
        ready, go, results = threading.Semaphore(0), threading.Event(), [False] * args.sessions
        threads = [threading.Thread(target=session, args=(port, n, text, ready, go, results))
                   for n in range(args.sessions)]
        for thread in threads:
            thread.start()
        for _ in threads:
            ready.acquire()
        idle = memory(server.process.pid, "VmRSS")
        started, largest = time.monotonic(), 0
        go.set()
        while any(thread.is_alive() for thread in threads):
            largest = max(largest, memory(server.process.pid, "VmRSS"))
            time.sleep(0.05)
        print(f"sessions {args.sessions}, {args.size} MB each: {sum(results)} queued in "
              f"{time.monotonic() - started:.1f} s; relvoserver resident: {idle} MB with the "
              f"sessions open, largest sampled {largest} MB, peak (VmHWM) "
              f"{memory(server.process.pid, 'VmHWM')} MB")
        peak = memory(server.process.pid, "VmHWM")
        print(f"figure: relvoserver peak memory, {args.sessions} sessions x {args.size} MB | "
              f"{peak} MB | under 100 MB | {'met' if peak < 100 else 'NOT met'}", flush=True)
    finally:
        server.kill()
        remove_app_dir(app_dir)


if __name__ == "__main__":
    main()
