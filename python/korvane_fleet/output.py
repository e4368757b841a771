"""korvane_fleet/output.py: the lock beside OUT, the run's own staging folder, one Parquet writer per
dataset, and the commit that puts a finished run in OUT's place."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import json
import os
import shutil
import signal
import socket
import stat
import tempfile
import time
from pathlib import Path

from . import Mistake

MARKER = "_SUCCESS"  # in OUT: the results are those of a finished run
OWNER = ".korvane-fleet"  # in a folder a run made: which run, for which OUT
DATASETS = ("points", "positions", "trips")  # OUT's folders, one per table of a Result
ROWS_PER_FILE = 4_000_000  # a dataset's next chunk starts a new file past this many rows


def check_out(out: Path, source: str | None) -> None:
    """Refuses an --out the run could not write, or whose contents it would destroy."""
    if out.exists() and not out.is_dir():
        raise Mistake(f"--out {out} is a file; expected a directory for the results")
    if out.is_dir():
        names = {entry.name for entry in out.iterdir()}
        if names and not (MARKER in names and names <= {*DATASETS, MARKER, OWNER}):
            raise Mistake(
                f"--out {out} holds files that are not the results of a finished run (no {MARKER}); "
                "expected a new or empty directory, or earlier results, which the run replaces"
            )
    # The run stages its results beside OUT (creating missing parents) and deletes old results.
    target = out.resolve()
    if Path.cwd().is_relative_to(target):
        raise Mistake(f"--out {out} holds the current directory; expected a directory of its own")
    nearest = next(parent for parent in target.parents if parent.exists())
    for directory in (nearest, target) if target.exists() else (nearest,):
        try:  # tried, not inferred from permission bits: root, ACLs and read-only mounts differ
            os.rmdir(tempfile.mkdtemp(prefix=".probe-", dir=directory))
        except OSError as error:
            raise Mistake(
                f"--out {out}: cannot write in {directory} ({error.strerror}); expected a directory you may write to"
            ) from None
    if source is not None:
        given = Path(source).resolve()
        if given.is_relative_to(target) or target.is_relative_to(given):
            raise Mistake(f"--out {out} overlaps the input {source}; expected them apart")


def run_label() -> str:
    return f"pid {os.getpid()} on {socket.gethostname()}, started {time.strftime('%Y-%m-%d %H:%M:%S')}"


class Lock:
    """`.OUT.lock` beside OUT, locked (flock) for the whole run: a second run into the same OUT
    is refused, and a run that was killed holds nothing any more. Removed when released."""

    SIGNATURE = b"korvane-fleet lock"

    def __init__(self, out: Path):
        self.out = out.resolve()
        self.path = self.out.with_name(f".{self.out.name}.lock")
        self.made: list[Path] = []  # the missing parents it created, removed again if empty
        self.fd: int | None = None

    def acquire(self, label: str) -> None:
        for parent in reversed(self.out.parents):
            if not parent.exists():
                parent.mkdir()
                self.made.append(parent)
        while True:
            try:
                fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o644)
            except OSError as error:
                self.release()
                raise Mistake(
                    f"cannot make the lock {self.path} ({error.strerror}); expected to create it"
                ) from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = (
                    os.pread(fd, 200, 0).decode(errors="replace").strip().removeprefix("korvane-fleet lock: ")
                )
                os.close(fd)
                self.release()
                raise Mistake(
                    f"--out {self.out} is being written by another run ({holder or 'its lock ' + str(self.path)}); "
                    "expected one run at a time into one --out"
                ) from None
            # The run that held it may have removed the file between its open and this lock.
            mine = os.fstat(fd)
            try:
                current = os.stat(self.path, follow_symlinks=False)
            except FileNotFoundError:
                current = None
            if current is not None and (current.st_ino, current.st_dev) == (mine.st_ino, mine.st_dev):
                break
            os.close(fd)
        contents = os.pread(fd, 200, 0)
        if not stat.S_ISREG(mine.st_mode) or (contents and not contents.startswith(self.SIGNATURE)):
            os.close(fd)
            self.release()
            raise Mistake(f"{self.path} exists and is not a korvane-fleet lock; expected to create it there")
        self.fd = fd
        os.ftruncate(fd, 0)
        os.pwrite(fd, self.SIGNATURE + b": " + label.encode() + b"\n", 0)

    def release(self) -> None:
        if self.fd is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)  # while still locked, so that no other run locks this file meanwhile
            os.close(self.fd)
            self.fd = None
        for parent in reversed(self.made):
            try:
                parent.rmdir()
            except OSError:
                break  # not empty: the results or the user's files are in it
        self.made.clear()


def owned_by_run(folder: Path, out: Path) -> dict | None:
    """The record a run left in `folder` for this OUT, or None for a folder no run made."""
    try:
        if folder.is_symlink() or not folder.is_dir():
            return None
        record = json.loads((folder / OWNER).read_text())
        return record if isinstance(record, dict) and record.get("out") == str(out) else None
    except (OSError, ValueError):
        return None


class Output:
    """Writes the chunks' tables in chunk order into the run's own staging folder beside OUT, one
    Parquet writer per dataset, and puts the finished run in OUT's place."""

    def __init__(self, out: Path, label: str, tally=None):
        self.tally = tally  # told of each result as it comes
        self.out = out.resolve()  # the directory's own name, for the renames: not "." or ".."
        # Held by the caller's lock, so a folder of a run into this OUT is one that was killed.
        self.leftovers = self.sweep()
        self.staging = Path(tempfile.mkdtemp(prefix=f".{self.out.name}.staging-", dir=self.out.parent))
        try:
            (self.staging / OWNER).write_text(json.dumps({"out": str(self.out), "run": label}) + "\n")
            for folder in DATASETS:
                (self.staging / folder).mkdir()
        except BaseException:
            shutil.rmtree(self.staging, ignore_errors=True)
            raise
        self.writers: dict = {}
        self.waiting: dict = {}  # results that came before the chunk to be written next
        self.next = 0
        self.done = False

    def sweep(self) -> str:
        """Removes what killed runs into this OUT left beside it; a one-line account, or ''."""
        removed, kept = [], []
        name = glob_escape(self.out.name)
        found = [*self.out.parent.glob(f".{name}.staging-*"), *self.out.parent.glob(f".{name}.previous-*")]
        for folder in sorted(found):
            record = owned_by_run(folder, self.out)
            if record is None:
                kept.append(folder.name)
            else:
                shutil.rmtree(folder, ignore_errors=True)
                removed.append(f"{folder.name} ({record.get('run', 'a run')})")
        lines = []
        if removed:
            lines.append(f"removed what a run that did not finish left: {', '.join(removed)}")
        if kept:
            lines.append(
                f"left alone beside {self.out.name}, as no run of korvane-fleet made them: {', '.join(kept)}"
            )
        return "; ".join(lines)

    @property
    def held(self) -> int:
        return len(self.waiting)

    def put(self, result, index: int) -> None:
        """Takes the result of chunk `index`; writes it, and those waiting for it, in order."""
        if self.tally is not None:
            self.tally.add(result)
        self.waiting[index] = result
        while self.next in self.waiting:
            self.write(self.waiting.pop(self.next))
            self.next += 1

    def write(self, result) -> None:
        import pyarrow.parquet as pq

        for folder in DATASETS:
            table = getattr(result, folder)
            writer, rows, part = self.writers.get(folder, (None, 0, -1))
            if writer is None or rows >= ROWS_PER_FILE:
                if writer is not None:
                    writer.close()
                part += 1
                path = self.staging / folder / f"part-{part:05d}.parquet"
                # Dictionaries only for the ids: tried on every float column, they took four
                # fifths of the writing, to be dropped again for values that hardly repeat.
                writer, rows = pq.ParquetWriter(path, table.schema, use_dictionary=["trip_id"]), 0
            writer.write_table(table)
            self.writers[folder] = (writer, rows + table.num_rows, part)

    def close_writers(self) -> None:
        for writer, _, _ in self.writers.values():
            writer.close()
        self.writers.clear()

    def commit(self, summary: dict) -> None:
        """Marks the staged run finished and puts it in OUT's place; then deletes the old results."""
        if self.waiting:
            raise RuntimeError(f"chunk {self.next} never came back")
        self.close_writers()
        (self.staging / MARKER).write_text(json.dumps(summary, indent=1) + "\n")
        # Ctrl-C from here on would only come between two renames; the run is complete anyway.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if not self.out.exists():
            self.staging.rename(self.out)
        elif exchange(self.staging, self.out):
            shutil.rmtree(self.staging, ignore_errors=True)  # now the previous results
        else:
            # Without an atomic exchange, OUT is missing for a moment; it never holds a mixture.
            # The name aside is the run's own: an empty folder it made, which the rename replaces.
            previous = tempfile.mkdtemp(prefix=f".{self.out.name}.previous-", dir=self.out.parent)
            self.out.rename(previous)
            self.staging.rename(self.out)
            shutil.rmtree(previous, ignore_errors=True)
        self.done = True

    def discard(self) -> None:
        """Removes the staging folder: on every way out of a run that did not commit."""
        try:
            self.close_writers()
        finally:
            if not self.done:
                shutil.rmtree(self.staging, ignore_errors=True)


def glob_escape(name: str) -> str:
    return "".join(f"[{c}]" if c in "*?[" else c for c in name)


def exchange(a: Path, b: Path) -> bool:
    """Swaps two directories in one rename (Linux renameat2); False where the system cannot."""
    rename = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if rename is None:
        return False
    here, swap = -100, 2  # AT_FDCWD, RENAME_EXCHANGE
    if rename(here, os.fsencode(a), here, os.fsencode(b), swap) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS):  # a file system or kernel without the exchange
        return False
    raise OSError(error, os.strerror(error), str(b))
