#!/usr/bin/python3
"""relvoserver at its default settings under 20 concurrent senders: the threads it runs stay within
their budget, and each mail creates no more files in queue/ and old/ than its two queue files, nor
leaves a lock file there, whether it is only received or also delivered to a local Maildir.
usage: load_test.py PATH_TO_RELVOSERVER"""
import ctypes
import os
import smtplib
import struct
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relvo_server_process import (RelvoServer, free_port, make_app_dir,  # noqa: E402
                                  remove_app_dir, wait_for)

BINARY = None
# On two cores; the I/O threads and the flush pool grow with the cores, up to 8 of them.
MOST_THREADS = 24 + 3 * (max(2, min(os.cpu_count() or 2, 8)) - 2)
SESSIONS, MAILS_PER_SESSION = 20, 10
IN_CREATE, IN_NONBLOCK = 0x100, 0o4000


class CreatedFiles:
    """The names inotify reports created in the watched directories (a rename is no creation)."""

    def __init__(self, directories):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(IN_NONBLOCK)
        assert self.fd >= 0, os.strerror(ctypes.get_errno())
        self.names = {}
        for directory in directories:
            os.makedirs(directory, mode=0o700, exist_ok=True)
            wd = libc.inotify_add_watch(self.fd, directory.encode(), IN_CREATE)
            assert wd >= 0, os.strerror(ctypes.get_errno())
            self.names[wd] = []

    def collect(self):
        while True:
            try:
                data = os.read(self.fd, 1 << 20)
            except BlockingIOError:
                return self.names
            offset = 0
            while offset < len(data):
                wd, _, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode()
                self.names[wd].append(name)
                offset += 16 + length

    def close(self):
        os.close(self.fd)


class ThreadPeak(threading.Thread):
    """Samples the number of threads of a process until stopped."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.halt = pid, 0, threading.Event()

    def run(self):
        while not self.halt.is_set():
            try:
                self.peak = max(self.peak, len(os.listdir(f"/proc/{self.pid}/task")))
            except FileNotFoundError:
                return
            self.halt.wait(0.005)


def send_all(port, sessions, mails):
    errors = []

    def session(n):
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=60) as client:
                for m in range(mails):
                    client.sendmail("s@sender.test", ["alice@local.test"],
                                    f"Subject: {n}.{m}\r\n\r\n{'x' * 2000}\r\n")
        except Exception as error:  # noqa: BLE001 -- reported below, with the session
            errors.append(f"session {n}: {error!r}")

    workers = [threading.Thread(target=session, args=(n,)) for n in range(sessions)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return errors


def read(path):
    with open(path, encoding="utf-8", errors="replace") as file:
        return file.read()




class LoadTest(unittest.TestCase):
    def test_threads_and_files_per_mail(self):
        total = SESSIONS * MAILS_PER_SESSION
        cases = [  # name, the SEND service's start, the queue entries left
            ("received only", 0, total),
            ("delivered", 1, 0),
        ]
        for name, sending, left in cases:
            with self.subTest(name):
                port = free_port()
                app_dir = make_app_dir(port, {"AutoStartSendService": sending})
                with open(os.path.join(app_dir, "relvoconsole.cfg"), "a", newline="") as config:
                    config.write("[DomainList]\r\nlocal.test=1\r\n"
                                 "[AccountList]\r\nalice@local.test=1\r\n"
                                 "[AccountInfo]\r\nalice@local.test_Enabled=1\r\n")
                queue, old = os.path.join(app_dir, "queue"), os.path.join(app_dir, "old")
                mailbox = os.path.join(app_dir, "mailbox", "local.test", "alice", "new")
                created = CreatedFiles([queue, old])
                server = RelvoServer(BINARY, app_dir, port).start()
                peak = ThreadPeak(server.process.pid)
                peak.start()
                try:
                    self.assertEqual(send_all(port, SESSIONS, MAILS_PER_SESSION), [])

                    def entries():
                        return sum(n.endswith(".cfg") for n in os.listdir(queue))

                    self.assertTrue(wait_for(lambda: entries() == left, 60),
                                    f"{entries()} entries left")
                    if sending:
                        self.assertTrue(wait_for(lambda: len(os.listdir(mailbox)) == total, 60))
                        # The states of delivered mail are written in old/ after the move.
                        self.assertTrue(wait_for(lambda: all(
                            "pending" not in read(os.path.join(old, n))
                            for n in os.listdir(old) if n.endswith(".cfg")), 30))
                finally:
                    peak.halt.set()
                    peak.join()
                    server.stop()
                    names = created.collect()
                    created.close()
                print(f"{name}: at most {peak.peak} threads", file=sys.stderr)
                self.assertLessEqual(peak.peak, MOST_THREADS)
                made = [n for listed in names.values() for n in listed if n[0] != "."]
                self.assertLessEqual(len(made), 2 * total, sorted(made)[:20])
                for directory in (queue, old):
                    self.assertEqual([n for n in os.listdir(directory)
                                      if n.endswith(".lock") and n != ".writers.lock"], [])
                remove_app_dir(app_dir)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
