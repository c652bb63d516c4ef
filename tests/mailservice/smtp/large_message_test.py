#!/usr/bin/python3
"""relvoserver with long messages: stored whole in memory far below their size, or nothing left
behind when cut off or refused part way; a header flood refused without being held. usage: large_message_test.py PATH_TO_RELVOSERVER"""
import os
import smtplib
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
from relvo_server_process import (RelvoServer, free_port, make_app_dir,  # noqa: E402
                                  remove_app_dir, wait_for)

BINARY = None
MB = 1024 * 1024


def message(size):
    line = b"." + b"0123456789abcdefghijklmnopqrstuvwxyz" * 2 + b"\r\n"  # stuffed on the way
    return b"Subject: long\r\n\r\n" + line * (size // len(line))


def peak_memory(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))


class LargeMessageTest(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.app_dir = make_app_dir(self.port, {"SmtpMaxMessageSize": 46 * MB})
        self.server = RelvoServer(BINARY, self.app_dir, self.port).start()

    def tearDown(self):
        self.server.kill()
        remove_app_dir(self.app_dir)

    def queue_files(self):  # without the writers' lock
        return [n for n in os.listdir(os.path.join(self.app_dir, "queue")) if n[0] != "."]

    def test_long_message_is_stored_whole_in_bounded_memory(self):
        text, before = message(45 * MB), peak_memory(self.server.process.pid)
        with smtplib.SMTP("127.0.0.1", self.port, timeout=60) as client:
            client.sendmail("a@sender.test", ["b@far.test"], text)
        (name,) = [n for n in self.queue_files() if n.endswith(".eml")]
        with open(os.path.join(self.app_dir, "queue", name), "rb") as eml:
            stored = eml.read()
        self.assertTrue(stored.startswith(b"Received: from "))
        self.assertEqual(stored[stored.index(b"Subject: long"):], text)
        self.assertLess(peak_memory(self.server.process.pid) - before, 16 * MB)

    def test_message_ended_part_way_leaves_no_file(self):
        head = b"HELO c.test\r\nMAIL FROM:<a@sender.test>\r\nRCPT TO:<b@far.test>\r\n"
        cases = [  # what is sent after the 354, and the reply expected ("" the client goes)
            ("cut off", message(3 * MB), ""),
            ("too big", message(47 * MB) + b".\r\n", "552 5.3.4"),
            ("NUL", message(3 * MB) + b"\x00\r\n.\r\n", "554 5.6.0"),
        ]
        for name, data, reply in cases:
            # The reader is closed with the socket: an open one would keep the connection up.
            with self.subTest(name), socket.create_connection(("127.0.0.1", self.port)) as sock, \
                    sock.makefile("rb") as answers:
                client = sock.getsockname()[1]
                sock.sendall(head)
                self.assertEqual([answers.readline()[:3] for _ in range(4)], [b"220"] + [b"250"] * 3)
                sock.sendall(b"DATA\r\n")
                self.assertEqual(answers.readline()[:3], b"354")
                sock.sendall(data)
                if reply:
                    self.assertEqual(answers.readline()[:9].decode(), reply)
            # Looked at once the server has seen the end (a file not made yet is no proof), and
            # with time for the store, which removes the file on one of its threads.
            self.assertTrue(wait_for(lambda: f"127.0.0.1:{client} disconnected" in self.log()))
            self.assertTrue(wait_for(lambda: self.queue_files() == []), self.queue_files())

    def test_header_flood_is_refused_in_bounded_memory(self):
        # Short fields, so that only the section's bound can stop them: 200 KiB, and 40 MB sent
        # in pieces, the way a flood comes.
        line = b"X-Flood: " + b"h" * 60 + b"\r\n"
        piece = line * (64 * 1024 // len(line))
        head = b"HELO c.test\r\nMAIL FROM:<a@sender.test>\r\nRCPT TO:<b@far.test>\r\nDATA\r\n"
        before = peak_memory(self.server.process.pid)
        for size in (200 * 1024, 40 * MB):
            with self.subTest(size), socket.create_connection(("127.0.0.1", self.port)) as sock, \
                    sock.makefile("rb") as answers:
                sock.sendall(head)
                self.assertEqual([answers.readline()[:3] for _ in range(5)],
                                 [b"220", b"250", b"250", b"250", b"354"])
                for _ in range(size // len(piece) + 1):
                    sock.sendall(piece)
                sock.sendall(b"\r\nbody\r\n.\r\n")
                self.assertIn(b"552 5.3.4 Message refused: the header section", answers.readline())
        self.assertLess(peak_memory(self.server.process.pid) - before, 16 * MB)
        self.assertTrue(wait_for(lambda: self.queue_files() == []), self.queue_files())

    def log(self):
        directory = os.path.join(self.app_dir, "log")
        return "".join(open(os.path.join(directory, n), errors="replace").read()
                       for n in os.listdir(directory) if n.startswith("smtp"))



if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
