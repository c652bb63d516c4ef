#!/usr/bin/python3
"""Crash test: relvoserver under concurrent sending clients is killed with SIGKILL at random
moments. After each restart every message that got its 250 must be in the queue complete (byte
for byte what was sent, after the Received header) and no partial entry may exist. Loopback only.

usage: crash_test.py --server PATH [--rounds 20] [--clients 20] [--kill-after 0.3 1.5] [--seed N]
Exit status 0 when every round holds; prints the counts.
"""
import argparse
import os
import random
import re
import smtplib
import sys
import threading
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relvo_server_process import RelvoServer, free_port, make_app_dir, remove_app_dir  # noqa: E402

SENDER = "crash@sender.test"
RECIPIENTS = ["one@far.test", "two@far.test"]


def make_message(rng, token):
    """CRLF lines only, ending in CRLF, so that what smtplib sends is exactly these bytes."""
    lines = [f"From: {SENDER}", f"To: {RECIPIENTS[0]}", f"Subject: crash {token}",
             f"X-Crash-Token: {token}", ""]
    # One message in ten is longer than the session's 64 KiB buffer, so that a kill also lands
    # while message text is being written out before its end.
    for number in range(rng.randint(1, 3000 if rng.random() < 0.1 else 400)):
        kind = rng.random()
        if kind < 0.05:
            lines.append(".")            # a lone dot inside the data: stuffed on the wire
        elif kind < 0.1:
            lines.append("..leading dots " + str(number))
        elif kind < 0.15:
            lines.append("")
        else:
            lines.append("".join(rng.choice("abcdefghij klmnop") for _ in range(rng.randint(1, 120))))
    return ("\r\n".join(lines) + "\r\n").encode()


class Client(threading.Thread):
    def __init__(self, port, seed, attempted, acknowledged, lock):
        super().__init__(daemon=True)
        self.port, self.rng = port, random.Random(seed)
        self.attempted, self.acknowledged, self.lock = attempted, acknowledged, lock
        self.stop = False

    def run(self):
        try:
            with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
                while not self.stop:
                    token = uuid.uuid4().hex
                    message = make_message(self.rng, token)
                    with self.lock:
                        self.attempted[token] = message
                    client.sendmail(SENDER, RECIPIENTS, message)
                    with self.lock:
                        self.acknowledged[token] = message
        except (OSError, smtplib.SMTPException):
            pass  # the server was killed


TOKEN = re.compile(rb"^X-Crash-Token: ([0-9a-f]{32})\r$", re.M)


def check_queue(queue_dir, attempted, acknowledged):
    """Returns (entries, problems): every .eml has its .cfg and is a whole attempted message."""
    problems = []
    names = set(os.listdir(queue_dir))
    found = {}
    for name in sorted(names):
        if name.endswith(".tmp"):
            problems.append(f"temporary file left after restart: {name}")
            continue
        if name.endswith(".cfg") and name[:-4] + ".eml" not in names:
            problems.append(f"companion without message: {name}")
        if not name.endswith(".eml"):
            continue
        if name[:-4] + ".cfg" not in names:
            problems.append(f"message without companion after restart: {name}")
            continue
        with open(os.path.join(queue_dir, name), "rb") as eml:
            stored = eml.read()
        match = TOKEN.search(stored)
        token = match.group(1).decode() if match else None
        sent = attempted.get(token)
        if sent is None:
            problems.append(f"{name}: not a message any client sent")
            continue
        header = stored[:len(stored) - len(sent)]
        if not stored.endswith(sent) or not header.startswith(b"Received: ") \
                or not header.endswith(b"\r\n") or b"\r\n\r\n" in header:
            problems.append(f"{name}: stored bytes differ from what was sent")
            continue
        with open(os.path.join(queue_dir, name[:-4] + ".cfg"), "rb") as cfg:
            companion = cfg.read().decode("utf-8", "replace")
        wanted = [f"MailId={name[:-4]}", f"MailFrom={SENDER}", "RcptToNumber=2",
                  f"RcptTo0={RECIPIENTS[0]}", f"RcptTo1={RECIPIENTS[1]}"]
        if any(line not in companion.splitlines() for line in wanted):
            problems.append(f"{name}: companion does not match the envelope")
            continue
        found[token] = name
    for token in acknowledged:
        if token not in found:
            problems.append(f"message {token} got its 250 but is not in the queue")
    return found, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--kill-after", type=float, nargs=2, default=(0.3, 1.5))
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--keep", action="store_true", help="keep the application directory")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    port = free_port()
    app_dir = make_app_dir(port, prefix="relvo-crash-")
    queue_dir = os.path.join(app_dir, "queue")
    attempted, acknowledged, lock = {}, {}, threading.Lock()
    failed = False
    print(f"crash test: {args.rounds} rounds, {args.clients} clients, seed {args.seed}, {app_dir}")
    try:
        server = RelvoServer(args.server, app_dir, port).start()
        for round_number in range(1, args.rounds + 1):
            acknowledged_before = len(acknowledged)
            clients = [Client(port, rng.random(), attempted, acknowledged, lock)
                       for _ in range(args.clients)]
            for client in clients:
                client.start()
            time.sleep(rng.uniform(*args.kill_after))
            server.kill()
            for client in clients:
                client.stop = True
                client.join(15)
            server = RelvoServer(args.server, app_dir, port).start()  # Open clears leftovers
            with lock:
                found, problems = check_queue(queue_dir, dict(attempted), dict(acknowledged))
            unacknowledged = len(found) - len(acknowledged)
            print(f"round {round_number:2}: 250 this round {len(acknowledged) - acknowledged_before:4}, "
                  f"250 in all {len(acknowledged):5}, in queue {len(found):5} "
                  f"(stored without a 250 seen: {unacknowledged}), problems {len(problems)}")
            for problem in problems[:10]:
                print("   ", problem)
            failed = failed or bool(problems)
        code = server.stop()
        if code != 0:
            print(f"relvoserver ended with {code} on SIGTERM")
            failed = True
        if len(acknowledged) == 0:
            print("no message was accepted at all")
            failed = True
    finally:
        if not args.keep:
            remove_app_dir(app_dir)
    print("crash test", "FAILED" if failed else "passed",
          f": {len(acknowledged)} messages got 250, every one found whole; "
          f"{len(attempted)} attempted")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
