"""Runs relvoserver on a fresh application directory for tests and benchmarks (loopback only)."""
import ctypes
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time


_PR_SET_PDEATHSIG = 1


def end_with_parent():
    """For Popen's preexec_fn: the child is killed when the test process dies, also when it
    crashes or is killed by the runner's timeout, so no server outlives its test."""
    ctypes.CDLL(None).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def wait_for(condition, timeout=30):
    """Whether condition() came true within timeout seconds: a deadline, never a fixed sleep."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def _binds(family, kind, address):
    try:
        with socket.socket(family, kind) as probe:
            if family == socket.AF_INET6:
                probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            probe.bind(address)
            return True
    except OSError:
        return False


def free_port():
    """A loopback port nobody uses, drawn below the kernel's ephemeral range (32768 and up): a
    port the kernel handed out for probing is handed out again as the source port of another
    test's outgoing connection before our server binds it."""
    for _ in range(1000):
        port = random.randint(20000, 32000)
        if (_binds(socket.AF_INET, socket.SOCK_STREAM, ("127.0.0.1", port))
                and _binds(socket.AF_INET, socket.SOCK_DGRAM, ("127.0.0.1", port))
                and (not socket.has_ipv6
                     or _binds(socket.AF_INET6, socket.SOCK_STREAM, ("::", port)))):
            return port
    raise RuntimeError("no free loopback port")


def make_app_dir(port, extra_system=None, prefix="relvo-server-", parent=None):
    directory = tempfile.mkdtemp(prefix=prefix, dir=parent)
    keys = {"SmtpPort": port, "SmtpAuthFlag": 0, "LogSmtp": 1, "AutoStartSendService": 0}
    keys.update(extra_system or {})
    with open(os.path.join(directory, "relvoconsole.cfg"), "w", newline="") as config:
        config.write("[System]\r\n")
        for key, value in keys.items():
            config.write(f"{key}={value}\r\n")
    return directory


class RelvoServer:
    """One relvoserver process; its standard output goes to a file in the application directory."""

    def __init__(self, binary, app_dir, port):
        self.binary, self.app_dir, self.port = binary, app_dir, port
        self.process = None
        self.output_path = os.path.join(app_dir, "relvoserver.out")

    def start(self, wait=True, timeout=10.0):
        self.output = open(self.output_path, "ab")
        self.process = subprocess.Popen([self.binary, "--data-dir", self.app_dir],
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        preexec_fn=end_with_parent)
        if wait:
            self.wait_listening(timeout)
        return self

    def wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"relvoserver ended with {self.process.returncode}:\n"
                                   + self.read_output())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as probe:
                    probe.recv(1)  # the greeting: the service is up, not just the socket
                    return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("relvoserver did not start listening:\n" + self.read_output())

    def kill(self):
        """SIGKILL when it still runs; either way the process is reaped and its output closed."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.output.close()

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout)
        finally:
            self.output.close()
        return code

    def read_output(self):
        with open(self.output_path, "rb") as out:
            return out.read().decode("utf-8", "replace")


def remove_app_dir(directory):
    shutil.rmtree(directory, ignore_errors=True)
