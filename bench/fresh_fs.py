"""Each server's spool on a new journaled ext4 file system of its own, as on a real server.

This machine's own disk has no journal, which favours many small files and made ratios move by 2x
between runs (bench/scratch.py says why). With fresh_file_systems(), relvoserver's application
directories (RELVO_BENCH_SCRATCH) and Postfix's spool (/var/spool/postfix, its current contents
copied in) each live on a new ext4 image with a journal, mounted through a loop device. Leaving
the block unmounts both, so Postfix's own spool is back as it was, and removes the images.
Needs root.
"""
import contextlib
import importlib.machinery
import os
import shutil
import subprocess
import tempfile

POSTFIX_SPOOL = "/var/spool/postfix"
IMAGE_SIZE = "8G"  # sparse: only what is written takes space


def _run(command, **options):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **options)


def _new_ext4(image_dir, name, mount_point):
    image = os.path.join(image_dir, name + ".img")
    _run(["truncate", "-s", IMAGE_SIZE, image])
    # A journal is mkfs.ext4's default; -O has_journal says that it is what is measured.
    _run(["mkfs.ext4", "-q", "-F", "-O", "has_journal", "-L", name[:16], image])
    _run(["mount", "-o", "loop", image, mount_point])
    return image


def _postfix_running():
    return subprocess.run(["postfix", "status"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def describe(path):
    """"ext4 with a journal on /dev/loopN" or what the file system of path is."""
    done = subprocess.run(["findmnt", "-n", "-o", "SOURCE,FSTYPE,OPTIONS", "-T", path],
                          capture_output=True, text=True)
    return done.stdout.strip() or "unknown"


def _install_postfix():
    """Postfix is installed before its spool is covered: installed onto the image, it would lose
    its spool when the image goes."""
    here = os.path.dirname(os.path.abspath(__file__))
    accept = importlib.machinery.SourceFileLoader(
        "smtp_accept", os.path.join(here, "smtp_accept")).load_module()
    accept.install_postfix()


@contextlib.contextmanager
def fresh_file_systems(scratch):
    """Mounts a new ext4 image on scratch (relvoserver's directories) and one on Postfix's
    spool while the block runs."""
    _install_postfix()
    image_dir = tempfile.mkdtemp(prefix="relvo-bench-images-", dir="/var/tmp")
    mounted = []
    try:
        _new_ext4(image_dir, "relvo-spool", scratch)
        mounted.append(scratch)
        os.chmod(scratch, 0o755)
        if shutil.which("postfix") and _postfix_running():
            _run(["postfix", "stop"], stderr=subprocess.DEVNULL)
        os.makedirs(POSTFIX_SPOOL, exist_ok=True)
        copy = tempfile.mkdtemp(prefix="postfix-spool-", dir=image_dir)
        _run(["cp", "-a", POSTFIX_SPOOL + "/.", copy])
        _new_ext4(image_dir, "postfix-spool", POSTFIX_SPOOL)
        mounted.append(POSTFIX_SPOOL)
        _run(["cp", "-a", copy + "/.", POSTFIX_SPOOL])
        os.chmod(POSTFIX_SPOOL, 0o755)
        shutil.rmtree(copy)
        yield
    finally:
        if shutil.which("postfix") and _postfix_running():
            subprocess.run(["postfix", "stop"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        for point in reversed(mounted):
            subprocess.run(["umount", point])
        shutil.rmtree(image_dir, ignore_errors=True)
