#!/usr/bin/python3
"""relvoserver on a nearly full file system: MAIL is answered 452 4.3.1 while the queue's file
system has less free than QueueMinFreeSpace (by default 1.5 times the largest message), and
receiving resumes by itself once space returns. usage: disk_space_test.py PATH_TO_RELVOSERVER
(root mounts the small tmpfs; the test is skipped without it)"""
import os
import smtplib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relvo_server_process import RelvoServer, free_port, make_app_dir, wait_for  # noqa: E402

BINARY = None
MB = 1024 * 1024


class DiskSpaceTest(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        self.mount = tempfile.mkdtemp(prefix="relvo-small-fs-")
        self.addCleanup(os.rmdir, self.mount)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0700", "tmpfs", self.mount],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.mount], check=True)
        self.port = free_port()
        app_dir = make_app_dir(self.port, {"SmtpMaxMessageSize": 4 * MB}, parent=self.mount)
        self.server = RelvoServer(BINARY, app_dir, self.port).start()
        self.addCleanup(self.server.kill)
        self.filler = os.path.join(self.mount, "filler")

    def free(self):
        info = os.statvfs(self.mount)
        return info.f_bavail * info.f_frsize

    def send(self):
        with smtplib.SMTP("127.0.0.1", self.port, timeout=30) as client:
            client.ehlo("c.test")
            code, text = client.mail("a@sender.test")
            if code == 250:
                client.rcpt("b@far.test")
                code, text = client.data(b"Subject: room\r\n\r\n" + b"x" * 1000 + b"\r\n")
            return code, text.decode()

    def test_mail_waits_for_room_and_resumes_by_itself(self):
        self.assertEqual(self.send()[0], 250)
        with open(self.filler, "wb") as filler:  # leaves 3 MB of the 6 MB asked for
            filler.write(b"\0" * (self.free() - 3 * MB))
        self.assertEqual(self.send(), (452, "4.3.1 Insufficient system storage"))
        self.assertEqual(self.send()[0], 452)
        os.remove(self.filler)
        self.assertEqual(self.send()[0], 250)
        self.assertTrue(wait_for(lambda: "receiving resumes" in self.server.read_output()),
                        self.server.read_output())
        output = self.server.read_output()
        self.assertEqual(output.count("bytes free (QueueMinFreeSpace)"), 1, output)
        self.assertIn(f"less than {6 * MB} bytes free", output)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
