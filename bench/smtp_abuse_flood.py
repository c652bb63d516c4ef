#!/usr/bin/python3
"""relvoserver against header floods and sessions of junk commands (loopback only).

Starts relvoserver on a temporary application directory and, in one run:
  1. header flood: SESSIONS clients each send, after DATA, SIZE MB of short header lines (no
     empty line, so only SmtpMaxHeaderSize can stop them) in mail relayed from loopback, then end
     the data; prints how many were
     refused 552 5.3.4 and relvoserver's peak resident memory (VmHWM) and largest sampled size;
  2. junk commands: JUNK clients send NOOP, RSET, VRFY, HELP and unknown verbs as fast as they
     can; prints how many commands each got answered before its 421 4.7.0;
  3. stress: with SmtpMaxSessions=200, 170 idle sessions (more than 80%) and JUNK junk clients;
     prints the junk commands answered before the 421 4.7.0 and how long the idle sessions stayed
     (the command timeout drops to 10 s).
relvoserver is stopped by its process id at the end and the directory removed.

usage: bench/smtp_abuse_flood.py [--server build/bin/relvoserver] [--sessions 20] [--size 40]
                                 [--junk 20]
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
JUNK = [b"NOOP\r\n", b"RSET\r\n", b"VRFY postmaster\r\n", b"HELP\r\n", b"XJUNK\r\n"]


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


def source_address(number):
    return f"127.0.{1 + number // 250}.{2 + number % 250}"


def flood(port, number, size, ready, go, results):
    line = b"X-Flood: " + b"h" * 60 + b"\r\n"
    piece = line * (MB // len(line))
    with socket.create_connection(("127.0.0.1", port), timeout=120,
                                  source_address=(source_address(number), 0)) as sock:
        answers = sock.makefile("rb")
        reply(answers)
        sock.sendall(b"EHLO flood.test\r\nMAIL FROM:<a@bench.test>\r\nRCPT TO:<b@far.test>\r\n")
        got = [reply(answers)[:3] for _ in range(3)]
        sock.sendall(b"DATA\r\n")
        got.append(reply(answers)[:3])
        ready.release()
        go.wait()
        if got == [b"250", b"250", b"250", b"354"]:
            for _ in range(size):
                sock.sendall(piece)
            sock.sendall(b"\r\nbody\r\n.\r\n")
            results[number] = reply(answers).decode(errors="replace").strip()


def flood_phase(server, port, args):
    ready, go = threading.Semaphore(0), threading.Event()
    results = [""] * args.sessions
    threads = [threading.Thread(target=flood, args=(port, n, args.size, ready, go, results))
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
    refused = sum(1 for result in results if result.startswith("552 5.3.4"))
    peak = memory(server.process.pid, "VmHWM")
    print(f"header flood: {args.sessions} sessions x {args.size} MB of header lines in "
          f"{time.monotonic() - started:.1f} s; {refused} refused 552 5.3.4"
          + ("" if refused == args.sessions else f" (first other answer: "
             f"{next(r for r in results if not r.startswith('552 5.3.4'))!r})")
          + f"; relvoserver resident {idle} MB before, largest sampled {largest} MB, "
          f"peak (VmHWM) {peak} MB")
    print(f"figure: header flood, {args.sessions} sessions x {args.size} MB, refused | "
          f"{refused} of {args.sessions} with 552 5.3.4 | all | "
          f"{'met' if refused == args.sessions else 'NOT met'}")
    print(f"figure: header flood, relvoserver peak memory | {peak} MB | under 100 MB | "
          f"{'met' if peak < 100 else 'NOT met'}", flush=True)


def junk_client(port, number, results):
    """Sends junk commands one at a time until the 421; records how many got another answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=30,
                                  source_address=(source_address(number), 0)) as sock:
        answers = sock.makefile("rb")
        reply(answers)
        answered = 0
        while answered < 100000:
            try:
                sock.sendall(JUNK[answered % len(JUNK)])
            except OSError:
                break
            answer = reply(answers)
            if answer[:3] == b"421" or not answer:
                results[number] = (answered, answer.decode(errors="replace").strip())
                return
            answered += 1
        results[number] = (answered, "no 421")


def junk_clients(port, count, first_number):
    results = [(0, "")] * (first_number + count)
    threads = [threading.Thread(target=junk_client, args=(port, n, results))
               for n in range(first_number, first_number + count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results[first_number:]


def describe_junk(kind, results, limit):
    counts = [answered for answered, _ in results]
    cut = sum(1 for _, answer in results if answer.startswith("421 4.7.0"))
    print(f"junk commands{kind}: {len(results)} clients, {cut} ended with 421 4.7.0 after "
          f"{min(counts)} to {max(counts)} answered commands (limit {limit})")
    ok = cut == len(results) and max(counts) == limit
    print(f"figure: junk clients{kind}, commands answered before 421 4.7.0 | {max(counts)} | "
          f"limit {limit} | {'met' if ok else 'NOT met'}", flush=True)


def idle_session(port, number, stays, ready):
    with socket.create_connection(("127.0.0.1", port), timeout=60,
                                  source_address=(source_address(number), 0)) as sock:
        answers = sock.makefile("rb")
        reply(answers)
        sock.sendall(b"EHLO idle.test\r\n")
        reply(answers)
        started = time.monotonic()
        ready.release()
        answer = reply(answers)
        stays[number] = (time.monotonic() - started, answer.decode(errors="replace").strip())


def stress_phase(port, args):
    idle = 170
    stays, ready = [(0.0, "")] * idle, threading.Semaphore(0)
    threads = [threading.Thread(target=idle_session, args=(port, n, stays, ready))
               for n in range(idle)]
    for thread in threads:
        thread.start()
    for _ in threads:
        ready.acquire()
    describe_junk(" under stress", junk_clients(port, args.junk, idle), 10)
    for thread in threads:
        thread.join()
    longest = max(seconds for seconds, _ in stays)
    cut = sum(1 for _, answer in stays if answer.startswith("421 4.4.2"))
    print(f"stress: {idle} idle sessions of 200, {cut} cut with 421 4.4.2, longest stay "
          f"{longest:.1f} s (SmtpCommandTimeout 300 s, 10 s under stress)")
    print(f"figure: idle sessions under stress, longest stay | {longest:.1f} s | 10 s | "
          f"{'within' if longest <= 12 and cut == idle else 'OVER'}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default=os.path.join(HERE, "..", "build", "bin",
                                                         "relvoserver"))
    parser.add_argument("--sessions", type=int, default=20)
    parser.add_argument("--size", type=int, default=40, help="MB of header lines per session")
    parser.add_argument("--junk", type=int, default=20, help="junk-command clients")
    args = parser.parse_args()
    args.sessions = max(1, min(args.sessions, 150))
    args.junk = max(1, min(args.junk, 25))  # with the 170 idle ones, within SmtpMaxSessions
    port = free_port()
    # Unknown verbs are errors too: SmtpMaxErrors is raised so that the junk limit is measured.
    app_dir = make_app_dir(port, {"SmtpListenAddress": "127.0.0.1", "LogSmtp": 0,
                                  "SmtpMaxSessions": 200, "SmtpMaxErrors": 1000})
    server = RelvoServer(os.path.abspath(args.server), app_dir, port).start()
    try:
        print(f"relvoserver pid {server.process.pid} on 127.0.0.1:{port}, default limits "
              "(SmtpMaxHeaderSize 102400, SmtpJunkCommandLimit 100, SmtpMaxSessions 200) but "
              "SmtpMaxErrors 1000")
        flood_phase(server, port, args)
        describe_junk("", junk_clients(port, args.junk, 0), 100)
        stress_phase(port, args)
    finally:
        server.stop()
        remove_app_dir(app_dir)


if __name__ == "__main__":
    main()
