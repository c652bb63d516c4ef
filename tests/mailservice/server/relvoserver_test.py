#!/usr/bin/python3
"""relvoserver as a process: one receiving service per application directory, clean stops on
SIGTERM and SIGINT that keep accepted mail, and start failures that end with a reason.
usage: relvoserver_test.py PATH_TO_RELVOSERVER [unittest options]"""
import os
import pathlib
import signal
import smtplib
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relvo_server_process import (RelvoServer, free_port, make_app_dir,  # noqa: E402
                                  remove_app_dir, wait_for)

BINARY = None


def queue_entries(app_dir):
    return sorted(name for name in os.listdir(os.path.join(app_dir, "queue"))
                  if name.endswith((".eml", ".cfg")))


class RelvoServerTest(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.app_dir = make_app_dir(self.port)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.kill()
        remove_app_dir(self.app_dir)

    def server(self):
        server = RelvoServer(BINARY, self.app_dir, self.port)
        self.servers.append(server)
        return server

    def test_second_process_is_refused_and_names_the_holder(self):
        first = self.server().start()
        second = self.server().start(wait=False)
        self.assertEqual(second.process.wait(10), 1)
        output = second.read_output()
        self.assertIn(f"already running in process {first.process.pid} (relvoserver)", output)
        self.assertIn("could not start", output)
        # The first one goes on serving.
        with smtplib.SMTP("127.0.0.1", self.port, timeout=5) as client:
            self.assertEqual(client.noop()[0], 250)

    def test_stop_signals_end_cleanly_and_keep_accepted_mail(self):
        for number, sig in enumerate((signal.SIGTERM, signal.SIGINT)):
            with self.subTest(signal=sig.name):
                server = self.server().start()
                with smtplib.SMTP("127.0.0.1", self.port, timeout=5) as client:
                    client.sendmail("a@sender.test", ["b@far.test"],
                                    b"Subject: kept\r\n\r\nbody\r\n")
                idle = smtplib.SMTP("127.0.0.1", self.port, timeout=5)
                idle.ehlo()
                started = time.monotonic()
                self.assertEqual(server.stop(sig), 0)
                self.assertLess(time.monotonic() - started, 4.0)
                # The open session was told, not just cut.
                try:
                    code = idle.noop()[0]
                except smtplib.SMTPServerDisconnected:
                    code = 421
                self.assertEqual(code, 421)
                idle.close()
                self.assertEqual(len(queue_entries(self.app_dir)), 2 * (number + 1))
                self.assertIn("SMTP service stopped", server.read_output())

    def test_made_directories_are_private_and_planted_links_are_not_followed(self):
        with open(os.path.join(self.app_dir, "relvoconsole.cfg"), "w", newline="") as config:
            config.write(f"[System]\r\nSmtpPort={self.port}\r\nSmtpAuthFlag=0\r\nLogSmtp=1\r\n"
                         "LogSend=1\r\nDnsServer=127.0.0.1:9\r\n")
        previous = os.umask(0)
        try:
            self.server().start().stop()
        finally:
            os.umask(previous)
        for root, directories, _ in os.walk(self.app_dir):
            for path in (os.path.join(root, name) for name in directories):
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o700, path)
        # Links planted where the service writes: its daily logs and a queued mail's companion.
        outside = make_app_dir(0, prefix="relvo-outside-")
        self.addCleanup(remove_app_dir, outside)
        today = time.strftime("%Y%m%d")
        for name in (f"log/smtp{today}.txt", f"log/send{today}.txt", "queue/7.cfg"):
            target = os.path.join(outside, os.path.basename(name))
            with open(target, "w", newline="") as out:
                out.write("[MailInfo]\r\nMailId=7\r\nRcptToNumber=1\r\nRcptTo0=b@far.test\r\n")
            if os.path.lexists(os.path.join(self.app_dir, name)):
                os.remove(os.path.join(self.app_dir, name))
            os.symlink(target, os.path.join(self.app_dir, name))
        with open(os.path.join(self.app_dir, "queue", "7.eml"), "wb") as message:
            message.write(b"Subject: planted\r\n\r\nbody\r\n")
        server = self.server().start()
        with smtplib.SMTP("127.0.0.1", self.port, timeout=5) as client:
            client.sendmail("a@sender.test", ["b@far.test"], b"Subject: two\r\n\r\nbody\r\n")
        expected = [f"log/{name}{today}.txt is a symbolic link" for name in ("smtp", "send")]
        expected.append("Mail 7: its companion is a symbolic link or not a regular file; skipped")
        wait_for(lambda: all(text in server.read_output() for text in expected))
        self.assertEqual(server.stop(), 0)
        for name in ("smtp" + today + ".txt", "send" + today + ".txt", "7.cfg"):
            self.assertEqual(pathlib.Path(outside, name).read_bytes(), b"[MailInfo]\r\nMailId=7\r\n"
                             b"RcptToNumber=1\r\nRcptTo0=b@far.test\r\n")
        output = server.read_output()
        for text in expected:
            self.assertIn(text, output)

    def test_start_failures_end_with_a_reason(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        blocker.bind(("127.0.0.1", 0))
        blocker.listen()
        busy_port = blocker.getsockname()[1]
        missing = os.path.join(self.app_dir, "missing")
        cases = [
            # (System keys, extra arguments, exit status, text expected in the output)
            ({"SmtpPort": busy_port, "SmtpListenAddress": "127.0.0.1"}, None, 1, "could not start"),
            ({"SmtpPort": 70000}, None, 1, "[Port:70000] could not start"),
            ({"SmtpPort2nd": busy_port, "SmtpListenAddress": "127.0.0.1"}, None, 1,
             f"2nd [Port:{busy_port}] could not start"),
            ({}, ["--data-dir", missing], 1, "does not exist"),
            ({}, ["--bogus"], 2, "Usage: relvoserver"),
        ]
        try:
            for keys, arguments, status, text in cases:
                with self.subTest(keys=keys, arguments=arguments):
                    app_dir = make_app_dir(self.port, keys)
                    try:
                        command = [BINARY] + (arguments or ["--data-dir", app_dir])
                        done = subprocess.run(command, capture_output=True, timeout=10)
                        output = (done.stdout + done.stderr).decode()
                        self.assertEqual(done.returncode, status, output)
                        self.assertIn(text, output)
                    finally:
                        remove_app_dir(app_dir)
        finally:
            blocker.close()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
