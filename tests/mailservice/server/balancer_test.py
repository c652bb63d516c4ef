#!/usr/bin/python3
"""Two relvoservers behind haproxy (send-proxy and send-proxy-v2) on loopback: the client's own
address, not the balancer's, reaches each node's queue, log, Received header and relay rules.
usage: balancer_test.py PATH_TO_RELVOSERVER [unittest options]"""
import glob
import os
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relvo_server_process import (RelvoServer, end_with_parent, free_port, make_app_dir,  # noqa: E402
                                  remove_app_dir)

BINARY = None
CLIENT, BALANCER = "127.0.0.9", "127.0.0.5"
MAIL = b"Subject: via the balancer\r\n\r\nbody\r\n"


def read_all(pattern):
    text = ""
    for path in sorted(glob.glob(pattern)):
        with open(path, errors="replace") as file:
            text += file.read()
    return text


def raw_session(port, first_bytes, source=BALANCER):
    """What a node answers to first_bytes and then a relay attempt, sent from source."""
    with socket.create_connection(("127.0.0.1", port), timeout=8, source_address=(source, 0)) as s:
        s.sendall(first_bytes + b"HELO x\r\nMAIL FROM:<a@b.test>\r\n"
                  b"RCPT TO:<c@far.test>\r\nQUIT\r\n")
        answer = b""
        try:
            while chunk := s.recv(4096):
                answer += chunk
        except ConnectionResetError:  # closed with our bytes unread
            pass
        return answer.decode(errors="replace")


def wait_listener(port, timeout=10):
    """Until something listens on port, seen without connecting (a probe would take a turn)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                return
        time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


class BalancerTest(unittest.TestCase):
    def setUp(self):
        self.nodes = []
        for _ in range(2):
            port = free_port()
            app_dir = make_app_dir(port, {"SmtpListenAddress": "127.0.0.1",
                                          "SmtpProxyFrom": f"10.9.0.0/16, {BALANCER}"})
            self.addCleanup(remove_app_dir, app_dir)
            node = RelvoServer(BINARY, app_dir, port)
            self.nodes.append(node)
        self.front = free_port()
        self.haproxy_cfg = tempfile.NamedTemporaryFile("w", suffix=".cfg")
        self.haproxy_cfg.write(
            "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
            "  timeout server 30s\n"
            f"frontend smtp\n  bind 127.0.0.1:{self.front}\n  default_backend nodes\n"
            f"backend nodes\n  balance roundrobin\n  source {BALANCER}\n"
            f"  server n1 127.0.0.1:{self.nodes[0].port} send-proxy\n"
            f"  server n2 127.0.0.1:{self.nodes[1].port} send-proxy-v2\n")
        self.haproxy_cfg.flush()

    def test_nodes_see_the_client_behind_the_balancer(self):
        # start() probes from 127.0.0.1, which is not listed: served as any client.
        for node in self.nodes:
            node.start()
            self.addCleanup(node.kill)
        haproxy = subprocess.Popen(["haproxy", "-db", "-f", self.haproxy_cfg.name],
                                   preexec_fn=end_with_parent)
        self.addCleanup(haproxy.wait)
        self.addCleanup(haproxy.kill)
        wait_listener(self.front)
        for _ in range(4):
            with smtplib.SMTP("127.0.0.1", self.front, timeout=10,
                              source_address=(CLIENT, 0)) as client:
                # 127.0.0.9 is loopback: it may relay with SmtpAuthFlag=0.
                client.sendmail("a@sender.test", ["b@far.test"], MAIL)

        # A header naming a client from afar, from the listed balancer: not allowed to relay.
        from_afar = b"PROXY TCP4 198.51.100.7 127.0.0.1 4000 25\r\n"
        self.assertIn("554 5.7.1", raw_session(self.nodes[0].port, from_afar))
        # From an unlisted address a PROXY line is an unknown command; garbage from a listed one
        # closes the connection before the greeting.
        self.assertIn("500 5.5.1", raw_session(self.nodes[0].port,
                                               b"PROXY TCP4 127.0.0.9 127.0.0.1 4000 25\r\n",
                                               source=CLIENT))
        self.assertEqual(raw_session(self.nodes[1].port, b"EHLO x\r\n"), "")
        for node in self.nodes:
            node.stop()
            queue = os.path.join(node.app_dir, "queue")
            self.assertEqual(len(glob.glob(os.path.join(queue, "*.eml"))), 2, node.read_output())
            self.assertEqual(read_all(os.path.join(queue, "*.cfg")).count(
                f"ClientAddress={CLIENT}:"), 2)
            self.assertEqual(read_all(os.path.join(queue, "*.eml")).count(f"[{CLIENT}]"), 2)
            log = read_all(os.path.join(node.app_dir, "log", "smtp*.txt"))
            self.assertIn(f"Client/{CLIENT}:", log)
            self.assertNotIn(f"Client/{BALANCER}:", log)
        self.assertIn("Client/198.51.100.7:4000 RCPT TO:<c@far.test>",
                      read_all(os.path.join(self.nodes[0].app_dir, "log", "smtp*.txt")))
        self.assertRegex(read_all(os.path.join(self.nodes[1].app_dir, "log", "smtp*.txt")),
                         rf"Server/{BALANCER}:\d+ no valid PROXY header; connection closed")


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
