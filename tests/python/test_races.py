#!/usr/bin/env python3
"""ktl beside other processes at work on the same files: readers and writers beside a change
held in the middle, a change ended there, and readers beside one large change. KTL_TESTING is
ktl with the fault seam (tests/support/ktl_testing_main.cpp). Judged by zipfile and a checksum.

    python3 tests/python/test_races.py --ktl KTL --ktl-testing KTL_TESTING [--runner wine] ...
"""

import argparse
import glob
import io
import os
import random
import subprocess
import sys
import tempfile
import time
import zipfile

import test_ktl
from test_ktl import (EXIT_FAILED, EXIT_OK, SAMPLE_MEMBERS, KtlResult, KtlTestCase, mtp,
                      to_tool_path)

KTL_TESTING = None
EXIT_ENDED = 77
# Not a measure of speed: only how long a process that never pauses may keep a test waiting.
HANG_GUARD = 180
# How long a writer is given to say that it waits for another's change, well inside the wait
# it is allowed.
NOTICE_GUARD = 30
A_DATA = b"[install]\r\nscript=a\r\n" * 30
B_DATA = b"[install]\r\nscript=b\r\n" * 50

_launchers = tempfile.TemporaryDirectory(prefix="ktl-race-launchers-")


def command_for(program, args):
    """Under Wine through a batch file that sets TMP and TEMP, as test_ktl does for ktl."""
    if test_ktl.RUNNER is None:
        return [program] + args
    bat = os.path.join(_launchers.name, os.path.basename(program) + ".bat")
    if not os.path.exists(bat):
        with open(bat, "wb") as f:
            f.write(b"@set TMP=%KTL_TEST_TMP%\r\n@set TEMP=%KTL_TEST_TMP%\r\n"
                    b'@"' + to_tool_path(program).encode("ascii") + b'" %*\r\n'
                    b"@exit /b %errorlevel%\r\n")
    return test_ktl.RUNNER + ["cmd", "/c", to_tool_path(bat)] + args


class Started:
    """A program running beside the test, its output going to files the test can look at."""

    def __init__(self, folder, program, args, env):
        self.folder = folder
        self.result = None
        self.out = open(os.path.join(folder, "stdout"), "w+b")
        self.err = open(os.path.join(folder, "stderr"), "w+b")
        temp = os.path.join(folder, "temp")
        os.mkdir(temp)
        env = dict(os.environ, TMPDIR=temp, KTL_TEST_TMP=to_tool_path(temp),
                   KTL_TEST_PAUSE_DIR=to_tool_path(folder), **env)
        self.proc = subprocess.Popen(command_for(program, args), stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err, env=env)

    def paused(self):
        """True once it waits at the armed operation; False when it ended without it."""
        deadline = time.monotonic() + HANG_GUARD
        while not os.path.exists(os.path.join(self.folder, "paused")):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        return True

    def stderr_so_far(self):
        with open(self.err.name, "rb") as f:
            return KtlResult(None, b"", f.read()).err_lines

    def finish(self):
        if self.result is None:
            open(os.path.join(self.folder, "resume"), "wb").close()
            try:
                code = self.proc.wait(HANG_GUARD)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                code = self.proc.wait()
            with self.out, self.err:
                self.out.seek(0)
                self.err.seek(0)
                self.result = KtlResult(code, self.out.read(), self.err.read())
        return self.result


class RaceTestCase(KtlTestCase):
    def setUp(self):
        super().setUp()
        scratch = tempfile.TemporaryDirectory(prefix="ktl-race-")
        self.addCleanup(scratch.cleanup)
        self.scratch = scratch.name
        self.base = mtp.build_package(SAMPLE_MEMBERS)
        self.old_names = [name for name, _, _ in SAMPLE_MEMBERS]
        self.a = self.write("a.ins", A_DATA)
        self.b = self.write("b.ins", B_DATA)

    def start(self, program, *args, **env):
        folder = tempfile.mkdtemp(dir=self.scratch)
        started = Started(folder, program, [to_tool_path(a) if os.path.isabs(a) else a
                                            for a in args], env)
        self.addCleanup(started.finish)  # never leaves one waiting, whatever failed
        return started

    def start_paused(self, at, *args):
        return self.start(KTL_TESTING, *args, KTL_TEST_PAUSE_AT=str(at))

    def run_ktl(self, *args, **env):
        return self.start(test_ktl.KTL, *args, **env).finish()

    def clear(self, name):
        """Removes `name` and whatever a change to it left beside it."""
        for stale in glob.glob(self.path(name) + "*"):
            os.remove(stale)

    def fresh(self, name="P.exe", data=None):
        self.clear(name)
        return self.write(name, self.base if data is None else data)

    def journals(self):
        """Every journal in the work folder, with its bytes."""
        found = {}
        for path in glob.glob(self.path("*.ktl-journal")):
            with open(path, "rb") as f:
                found[path] = f.read()
        return found

    def exit_sweep(self, setup, args, observe=None):
        """Each N for which `observe()` (default: a journal stands) holds once `args` was ended
        at its N-th file operation, from a fresh `setup()`."""
        steps, at = [], 1
        while True:
            setup()
            result = self.start(KTL_TESTING, *args, KTL_TEST_EXIT_AT=str(at)).finish()
            if result.returncode == EXIT_OK:
                self.assertTrue(steps, "no step of %r left what the test needs" % (args,))
                return steps
            self.assertEqual(result.returncode, EXIT_ENDED, result)
            if (observe or self.journals)():
                steps.append(at)
            at += 1

    def reference(self, base, source):
        """The new package `insert base source -o` writes when nothing else runs."""
        result = self.run_ktl("insert", base, source, "-o", self.path("ref.exe"))
        self.assertEqual(result.returncode, EXIT_OK, result)
        data = self.read("ref.exe")
        os.remove(self.path("ref.exe"))
        return data

    def assertNoRollback(self, *results):
        for result in results:
            self.assertFalse(any("rolled back" in line for line in result.err_lines), result)

    def assertPackage(self, path, names, members):
        """`path` verifies, sums to zero, and holds `names` in order, `members` with their bytes."""
        result = self.run_ktl("verify", path)
        self.assertEqual(result.returncode, EXIT_OK, result)
        self.assertNoRollback(result)
        with open(path, "rb") as f:
            data = f.read()
        self.assertEqual(mtp.package_checksum(data), 0)
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            self.assertEqual(archive.namelist(), names)
            for name, member in members.items():
                self.assertEqual(archive.read(name), member)


class ChangeHeldInTheMiddle(RaceTestCase):
    def test_a_reader_at_every_step_of_an_in_place_change(self):
        journal_seen = False
        at = 1
        while True:
            with self.subTest(step=at):
                package = self.fresh()
                writer = self.start_paused(at, "insert", package, self.a)
                if not writer.paused():
                    result = writer.finish()
                    self.assertEqual(result.returncode, EXIT_OK, result)
                    break
                before = self.journals()
                journal_seen |= bool(before)
                reader = self.run_ktl("list", package, KTL_LOCK_WAIT="0")
                self.assertNoRollback(reader)
                if reader.returncode == EXIT_OK:
                    self.assertIn(reader.out_lines, (self.old_names, self.old_names + ["a.ins"]))
                else:
                    self.assertEqual(reader.returncode, EXIT_FAILED, reader)
                    self.assertIn("in progress", " ".join(reader.err_lines))
                self.assertEqual(self.journals(), before, "the reader touched the journal")
                result = writer.finish()
                self.assertEqual(result.returncode, EXIT_OK, result)
                self.assertPackage(package, self.old_names + ["a.ins"], {"a.ins": A_DATA})
            at += 1
        self.assertTrue(journal_seen, "no step of the change had its journal written")

    def test_two_writers_of_one_package(self):
        steps = self.exit_sweep(self.fresh, ["insert", self.path("P.exe"), self.a])
        for at in (steps[0], steps[-1]):
            for wait in ("120", "0"):
                with self.subTest(step=at, wait=wait):
                    package = self.fresh()
                    first = self.start_paused(at, "insert", package, self.a)
                    self.assertTrue(first.paused())
                    second = self.start(test_ktl.KTL, "insert", package, self.b,
                                        KTL_LOCK_WAIT=wait)
                    # A goes on once B waits for it; a B that never says so is found below.
                    deadline = time.monotonic() + NOTICE_GUARD
                    while second.proc.poll() is None and time.monotonic() < deadline and not any(
                            "in progress" in line for line in second.stderr_so_far()):
                        time.sleep(0.01)
                    first_run, second_run = first.finish(), second.finish()
                    self.assertEqual(first_run.returncode, EXIT_OK, first_run)
                    self.assertNoRollback(first_run, second_run)
                    said = [line for line in second_run.err_lines if "in progress" in line]
                    members = {"a.ins": A_DATA}
                    if wait == "0":
                        self.assertEqual(second_run.returncode, EXIT_FAILED, second_run)
                        self.assertRegex(" ".join(said), "another change to .+ is in progress")
                    else:
                        self.assertEqual(second_run.returncode, EXIT_OK, second_run)
                        self.assertEqual(len(said), 1, second_run)
                        members["b.ins"] = B_DATA
                    self.assertPackage(package, self.old_names + list(members), members)

    def test_two_writers_of_one_output(self):
        base = self.write("base.exe", self.base)
        out = self.path("OUT.exe")
        reference = self.reference(base, self.a)

        def partials():
            return glob.glob(out + ".ktl-partial*")

        steps = self.exit_sweep(lambda: self.clear("OUT.exe"),
                                ["insert", base, self.a, "-o", out], partials)
        for at in (steps[0], steps[-1]):
            with self.subTest(step=at):
                self.clear("OUT.exe")
                first = self.start_paused(at, "insert", base, self.a, "-o", out)
                self.assertTrue(first.paused())
                second = self.run_ktl("insert", base, self.b, "-o", out)
                self.assertEqual(second.returncode, EXIT_OK, second)
                first_result = first.finish()
                self.assertEqual(first_result.returncode, EXIT_OK, first_result)
                self.assertEqual(self.read("OUT.exe"), reference, "OUT.exe is not A's package")
                self.assertPackage(out, self.old_names + ["a.ins"], {"a.ins": A_DATA})
                self.assertEqual(partials(), [])


class ChangeEndedInTheMiddle(RaceTestCase):
    def test_a_new_package_written_over_an_interrupted_one(self):
        base = self.write("base.exe", self.base)
        package = self.path("P.exe")
        reference = self.reference(base, self.b)
        for at in self.exit_sweep(self.fresh, ["insert", package, self.a]):
            with self.subTest(step=at):
                self.fresh()
                ended = self.start(KTL_TESTING, "insert", package, self.a,
                                   KTL_TEST_EXIT_AT=str(at)).finish()
                self.assertEqual(ended.returncode, EXIT_ENDED, ended)
                written = self.run_ktl("insert", base, self.b, "-o", package)
                self.assertEqual(written.returncode, EXIT_OK, written)
                listed = self.run_ktl("list", package)
                self.assertEqual(listed.returncode, EXIT_OK, listed)
                self.assertNoRollback(listed)
                self.assertEqual(listed.out_lines, self.old_names + ["b.ins"])
                self.assertEqual(self.read("P.exe"), reference)

    def test_a_journal_found_through_a_symbolic_link(self):
        if test_ktl.RUNNER is not None:
            self.skipTest("symbolic links are tried natively only")
        link, real = self.path("L.exe"), self.path("R.exe")

        def setup():
            self.clear("L.exe")
            self.fresh("R.exe")
            os.symlink("R.exe", link)

        steps = self.exit_sweep(setup, ["insert", link, self.a])
        setup()
        ended = self.start(KTL_TESTING, "insert", link, self.a,
                           KTL_TEST_EXIT_AT=str(steps[-1])).finish()
        self.assertEqual(ended.returncode, EXIT_ENDED, ended)
        result = self.run_ktl("insert", real, self.b)
        self.assertEqual(result.returncode, EXIT_OK, result)
        self.assertTrue(any("rolled back" in line for line in result.err_lines), result)
        listed = self.run_ktl("list", link)
        self.assertEqual(listed.returncode, EXIT_OK, listed)
        self.assertNoRollback(listed)
        self.assertEqual(listed.out_lines, self.old_names + ["b.ins"])
        self.assertPackage(real, self.old_names + ["b.ins"], {"b.ins": B_DATA})


class ReadersBesideALargeChange(RaceTestCase):
    def test_readers_in_a_loop_beside_a_large_in_place_insert(self):
        rng = random.Random(7)
        big = [("Zor/big.bin", rng.randbytes(24 << 20), zipfile.ZIP_STORED)]
        package = self.fresh(data=mtp.build_package(SAMPLE_MEMBERS + big))
        data = rng.randbytes(8 << 20) + b"setup\r\n" * (1 << 20)
        large = self.write("large.ins", data)
        writer = self.start(test_ktl.KTL, "insert", package, large)
        readers = []
        while writer.proc.poll() is None:
            for command in ("list", "verify"):
                readers.append(self.run_ktl(command, package, KTL_LOCK_WAIT="0"))
        result = writer.finish()
        self.assertEqual(result.returncode, EXIT_OK, result)
        for reader in readers:
            self.assertNoRollback(reader)
            if reader.returncode != EXIT_OK:
                self.assertEqual(reader.returncode, EXIT_FAILED, reader)
                self.assertIn("in progress", " ".join(reader.err_lines))
        self.assertPackage(package, self.old_names + ["Zor/big.bin", "large.ins"],
                           {"large.ins": data})


def main():
    global KTL_TESTING
    parser = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    parser.add_argument("--ktl-testing", required=True, help="ktl built with the fault seam")
    args, rest = parser.parse_known_args()
    KTL_TESTING = os.path.abspath(args.ktl_testing)
    sys.argv = [sys.argv[0]] + rest
    test_ktl.main()  # runs the tests of this module, __main__


if __name__ == "__main__":
    main()
