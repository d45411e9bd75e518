#!/usr/bin/env python3
"""How long `ktl insert` takes on large packages, next to a durable copy of the same package.

    python3 bench/insert_bench.py [--ktl PATH] [--sizes 256M,1G] [--runs N] [--dir DIR]
    python3 bench/insert_bench.py [--ktl PATH] --kills N [--dir DIR]

For each size it makes a package (a 1 MiB PE32 image, stored members of 8 MiB of random
bytes, the checksum word) and a 96 KiB script, then takes turns, N runs each, at inserting the
script into a new file (-o), inserting it in place into a fresh copy of the package (copied
and synced before the clock starts) and two baselines: a durable copy, `cp PACKAGE COPY &&
sync COPY`, for the new file; and one plain sequential read, `cat COPY >/dev/null`, of a
fresh copy made as for the change in place (so that both find the same pages in the cache),
for the change in place, which must read every byte once to prove the package whole. First it
times an insert in place into the smallest package it makes: what every change in place adds
to its read (deflating the script, the lock, the journal and its syncs). It prints the
medians, the ratios to the baselines and ktl's peak resident set size as GNU time
(/usr/bin/time) reports it. The page cache is warm for every run alike.

--kills N kills an in-place insert into a 64 MiB package N times at a random moment and
checks that what is left is the old package or the new one byte for byte, that `ktl list`
reads it, and that nothing else is left in the package's folder.

Everything is made in a fresh folder inside DIR (the system's temporary folder by default)
and removed at the end.
"""

import argparse
import array
import hashlib
import os
import random
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_test_package as mtp  # noqa: E402

MIB = 1 << 20
IMAGE_SIZE = MIB
MEMBER_SIZE = 8 * MIB
SCRIPT_SIZE = 96 * 1024
KILL_PACKAGE_SIZE = 64 * MIB
GNU_TIME = "/usr/bin/time"
MODES = ("new file", "in place", "durable copy", "plain read")


def parse_size(text):
    match = re.fullmatch(r"(\d+)([MG])", text.strip().upper())
    if not match:
        raise argparse.ArgumentTypeError("a size is a number followed by M or G: %r" % text)
    return int(match.group(1)) << (20 if match.group(2) == "M" else 30)


class ArchiveView:
    """The package file as zipfile should see it: ZIP offsets count from the archive's first
    byte, which lies behind the image."""

    def __init__(self, file, base):
        self.file, self.base = file, base

    def write(self, data):
        return self.file.write(data)

    def tell(self):
        return self.file.tell() - self.base

    def seek(self, pos, whence=os.SEEK_SET):
        return self.file.seek(pos + self.base if whence == os.SEEK_SET else pos, whence) - self.base

    def flush(self):
        self.file.flush()


def write_package(path, size, rng):
    """Writes a sealed package of about `size` bytes; returns its length."""
    assert array.array("I").itemsize == 4 and sys.byteorder == "little"
    with open(path, "w+b") as f:
        f.write(mtp.build_pe_image([(0x400, IMAGE_SIZE - 0x400)]))
        count = max(1, round((size - IMAGE_SIZE) / MEMBER_SIZE))
        with zipfile.ZipFile(ArchiveView(f, IMAGE_SIZE), "w", zipfile.ZIP_STORED) as archive:
            for i in range(count):
                info = zipfile.ZipInfo("Zor/data/part%03d.bin" % i, mtp.FIXED_DATE_TIME)
                archive.writestr(info, rng.randbytes(MEMBER_SIZE))
        f.seek(0, os.SEEK_END)
        f.write(bytes(-f.tell() % 4))
        f.seek(0)
        total = 0
        while chunk := f.read(MEMBER_SIZE):
            total += sum(array.array("I", chunk))
        f.write(struct.pack("<I", -total & 0xFFFFFFFF))
    return os.path.getsize(path)


def write_script(path, rng):
    lines = [b"[Setup]\r\nSilence=1\r\n"]
    while sum(map(len, lines)) < SCRIPT_SIZE:
        lines.append(b"Key%05d=%s\r\n" % (len(lines), rng.randbytes(12).hex().encode()))
    with open(path, "wb") as f:
        f.write(b"".join(lines)[:SCRIPT_SIZE])


def remove(*paths):
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def timed(command, env):
    """Wall time of `command` and its peak RSS in KiB (None for a shell baseline)."""
    wrapped = [GNU_TIME, "-v"] + command if command[0] != "sh" else command
    start = time.perf_counter()
    proc = subprocess.run(wrapped, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit("insert_bench: %s failed (%d): %s"
                 % (" ".join(command), proc.returncode, proc.stderr.decode(errors="replace")))
    rss = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    return elapsed, int(rss.group(1)) if rss else None


def bench_size(ktl, size, runs, work, env, rng):
    package, script = os.path.join(work, "pkg.exe"), os.path.join(work, "a.ins")
    out, copy = os.path.join(work, "out.exe"), os.path.join(work, "copy.exe")
    length = write_package(package, size, rng)
    write_script(script, rng)
    commands = {"new file": [ktl, "insert", package, script, "-o", out],
                "in place": [ktl, "insert", copy, script],
                "durable copy": ["sh", "-c", 'cp "$0" "$1" && sync "$1"', package, copy],
                "plain read": ["sh", "-c", 'cat "$0" >/dev/null', copy]}
    times = {mode: [] for mode in MODES}
    peaks = {mode: [] for mode in MODES}
    for _ in range(runs):
        for mode in MODES:
            if mode in ("in place", "plain read"):
                shutil.copyfile(package, copy)
            os.sync()
            elapsed, rss = timed(commands[mode], env)
            times[mode].append(elapsed)
            peaks[mode].append(rss)
            remove(out, copy)
    print("package %.1f MiB (1 MiB image, %d stored members of 8 MiB), script 96 KiB, %d runs"
          % (length / MIB, (length - IMAGE_SIZE) // MEMBER_SIZE, runs))
    medians = {mode: statistics.median(times[mode]) for mode in MODES}
    for mode in MODES:
        rss = "" if peaks[mode][0] is None else "  peak RSS %.1f MiB" % (max(peaks[mode]) / 1024)
        print("  %-12s median %7.3f s  (%s)%s" % (mode, medians[mode],
              " ".join("%.3f" % t for t in times[mode]), rss))
    print("  ratios: in place / plain read %.2f, in place / durable copy %.2f,"
          " new file / durable copy %.2f"
          % (medians["in place"] / medians["plain read"],
             medians["in place"] / medians["durable copy"],
             medians["new file"] / medians["durable copy"]))
    remove(package, script)


def fixed_cost(ktl, runs, work, env, rng):
    """What a change in place costs beyond its read: an insert into the smallest package the
    bench makes (one member), where deflating the script, the lock, the journal and its five
    syncs are nearly all."""
    package, script = os.path.join(work, "small.exe"), os.path.join(work, "a.ins")
    copy = os.path.join(work, "small-copy.exe")
    length = write_package(package, 0, rng)
    write_script(script, rng)
    times = []
    for _ in range(runs):
        shutil.copyfile(package, copy)
        os.sync()
        times.append(timed([ktl, "insert", copy, script], env)[0])
        remove(copy)
    print("fixed cost of a change in place (deflate, lock, journal, syncs), a %.1f MiB package: "
          "median %.3f s" % (length / MIB, statistics.median(times)))
    remove(package, script)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(MEMBER_SIZE):
            digest.update(chunk)
    return digest.hexdigest()


def kill_inserts(ktl, count, work, env, rng):
    package, script = os.path.join(work, "pkg.exe"), os.path.join(work, "a.ins")
    write_package(package, KILL_PACKAGE_SIZE, rng)
    write_script(script, rng)
    # The uninterrupted insert gives the one new package that a kill may leave instead.
    reference = os.path.join(work, "reference.exe")
    shutil.copyfile(package, reference)
    os.sync()
    duration, _ = timed([ktl, "insert", reference, script], env)
    old, new = sha256_of(package), sha256_of(reference)
    intact = leftovers = finished = temp_left = 0
    outcomes = []
    for i in range(count):
        folder = os.path.join(work, "kill%02d" % i)
        os.makedirs(folder)
        target = os.path.join(folder, "pkg.exe")
        shutil.copyfile(package, target)
        os.sync()
        proc = subprocess.Popen([ktl, "insert", target, script], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        delay = rng.uniform(0, duration)
        time.sleep(delay)
        finished += proc.poll() is not None
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        listed = subprocess.run([ktl, "list", target], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode == 0
        state = {old: "old", new: "new"}.get(sha256_of(target), "other")
        extra = sorted(set(os.listdir(folder)) - {"pkg.exe"})
        intact += listed and state != "other"
        leftovers += bool(extra)
        outcomes.append("%.3fs:%s%s" % (delay, state, "+" + ",".join(extra) if extra else ""))
        temp_left += len(os.listdir(env["TMPDIR"]))
        shutil.rmtree(folder)
        for name in os.listdir(env["TMPDIR"]):
            os.remove(os.path.join(env["TMPDIR"], name))
    print("uninterrupted in-place insert into %d MiB: %.3f s" % (KILL_PACKAGE_SIZE // MIB,
                                                                 duration))
    print("  " + " ".join(outcomes))
    print("  %d finished before the kill; %d temporary archives left in TMPDIR"
          % (finished, temp_left))
    print("kills: %d/%d intact, %d with leftovers" % (intact, count, leftovers))
    return intact == count and leftovers == 0 and temp_left == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ktl", default=os.path.join(ROOT, "build", "native", "ktl"))
    parser.add_argument("--sizes", default="256M,1G",
                        type=lambda text: [parse_size(s) for s in text.split(",")])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where the work folder goes")
    parser.add_argument("--kills", type=int, default=0, metavar="N",
                        help="kill N in-place inserts instead of timing")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    ktl = os.path.abspath(args.ktl)
    if not os.access(ktl, os.X_OK):
        sys.exit("insert_bench: no ktl program at %s (--ktl)" % ktl)
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit("insert_bench: needs GNU time at %s (apt-get install time)" % GNU_TIME)
    work = tempfile.mkdtemp(prefix="ktl-bench-", dir=args.dir)
    try:
        # Package, a copy, the staging file beside it and the temporary archive at once.
        largest = KILL_PACKAGE_SIZE if args.kills else max(args.sizes)
        free = shutil.disk_usage(work).free
        if free < 4.5 * largest:
            sys.exit("insert_bench: %.1f GiB free in %s, %.1f GiB needed"
                     % (free / 2**30, work, 4.5 * largest / 2**30))
        env = dict(os.environ, TMPDIR=os.path.join(work, "tmp"))
        os.makedirs(env["TMPDIR"])
        rng = random.Random(args.seed)
        if args.kills:
            return 0 if kill_inserts(ktl, args.kills, work, env, rng) else 1
        fixed_cost(ktl, args.runs, work, env, rng)
        for size in args.sizes:
            bench_size(ktl, size, args.runs, work, env, rng)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
