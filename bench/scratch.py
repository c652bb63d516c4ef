"""Application directories for the SMTP benchmarks, removed only once nothing is measured.

This machine's ext4 has no journal. There a freed inode counts as recently deleted for 60 s
(360 s while its inode table block is unwritten), and every file created in its block group first
steps past each such inode (ext4's recently_deleted). Removing one run's ten thousand files just
before the next run made that server's every file creation step past them: a third of
relvoserver's time in a profile, and ratios that moved by a factor of two with the order of the
runs. So a benchmark keeps its directories until it exits, and under bench/run-all (which sets
RELVO_BENCH_SCRATCH to a directory it removes at its end) until the last benchmark has run.
"""
import atexit
import os
import shutil
import tempfile

SCRATCH_VARIABLE = "RELVO_BENCH_SCRATCH"
_left = []


def _remove_left():
    for directory in _left:
        shutil.rmtree(directory, ignore_errors=True)


def app_dir(prefix):
    """A new directory in /var/tmp (or RELVO_BENCH_SCRATCH), removed when the process exits (or
    by bench/run-all)."""
    base = os.environ.get(SCRATCH_VARIABLE)
    directory = tempfile.mkdtemp(prefix=prefix, dir=base or "/var/tmp")
    if not base:
        if not _left:
            atexit.register(_remove_left)
        _left.append(directory)
    return directory
