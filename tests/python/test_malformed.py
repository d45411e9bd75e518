#!/usr/bin/env python3
"""ktl against the malformed packages of malformed_packages.py, one line per case.

    python3 tests/python/test_malformed.py --ktl PATH_TO_KTL [--runner wine] [PREFIX ...]

PREFIX limits the run to the cases whose names start with it. A refused case must leave
everything as it was, in either mode (new file and in place); an accepted one must give a
sealed package that zipfile, `unzip -t` and our own checksum accept. The exit status is 0
only when every case passed.
"""

import argparse
import io
import os
import shlex
import sys
import traceback
import zipfile

import test_ktl
from test_ktl import (EXIT_OK, KtlTestCase, cut_archive, find_end_record,
                      parse_central_directory, parse_end_record, to_tool_path)
from malformed_packages import NEW_DATA, Accepted, CASES, PremiseError

SOURCE = os.path.join("in", "notes.txt")


class CaseRun(KtlTestCase):
    """One case in its own work and temporary directories."""

    def runTest(self):
        pass

    def prepare(self, sample):
        self.sample = sample
        self.package = self.write("pkg.exe", sample.package)
        self.source = self.write(SOURCE, NEW_DATA)
        self.untouched = ["in/", "in/notes.txt", "pkg.exe"]

    def insert(self, output):
        args = ["insert", to_tool_path(self.package), to_tool_path(self.source),
                "-n", self.sample.new_name]
        if output is not None:
            args += ["-o", to_tool_path(self.path(output))]
        return self.ktl(*args)

    def judge_refused(self, expected):
        for output in ("out.exe", None):
            result = self.insert(output)
            self.assertFailedWith(result, expected.status, "pkg.exe")
            if expected.says is not None:
                self.assertIn(expected.says, result.err_lines[0])
            self.assertFileUnchanged(self.package, self.sample.package)
            self.assertEqual(self.work_listing(), self.untouched,
                             "something was written (%s)" % ("new file" if output else "in place"))
        verify = self.ktl("verify", to_tool_path(self.package))
        if expected.package_fault:
            self.assertNotEqual(verify.returncode, EXIT_OK, "verify passes it: %r" % verify)
            self.assertEqual(len(verify.err_lines), 1, "verify gives no single reason: %r" % verify)
            self.assertTrue(verify.err_lines[0].strip(), verify)
        else:
            self.assertEqual(verify.returncode, EXIT_OK, "the package itself is sound: %r" % verify)

    def judge_accepted(self, expected):
        sample = self.sample
        self.assertSucceeded(self.insert("out.exe"))
        self.assertFileUnchanged(self.package, sample.package)
        self.assertEqual(self.work_listing(), sorted(self.untouched + ["out.exe"]))
        after = self.read("out.exe")
        self.assertSealed(after)
        overlay = sample.overlay
        self.assertEqual(after[:overlay], sample.package[:overlay], "the image was changed")

        # The old members' records and data are copied as they are.
        old_end = parse_end_record(sample.package, sample.end_at)
        old_cd = overlay + old_end["cd_offset"]
        self.assertEqual(after[overlay:old_cd], sample.package[overlay:old_cd])
        old_entries = parse_central_directory(sample.package, old_cd, old_end["entries"])
        new_end = parse_end_record(after, find_end_record(after, overlay))
        new_entries = parse_central_directory(after, overlay + new_end["cd_offset"],
                                              new_end["entries"])
        self.assertEqual([entry["raw"] for entry in new_entries[:-1]],
                         [entry["raw"] for entry in old_entries], "old entries changed")

        with zipfile.ZipFile(io.BytesIO(after)) as archive:
            infos = archive.infolist()
            self.assertEqual([info.orig_filename for info in infos],
                             sample.names + [sample.new_name])
            if sample.encrypted:
                for info in infos:
                    if info.orig_filename not in sample.encrypted:
                        archive.read(info)  # checks the CRC-32
            else:
                self.assertIsNone(archive.testzip())
            self.assertEqual(archive.read(infos[-1]), NEW_DATA)
            self.assertEqual(infos[-1].compress_type, zipfile.ZIP_DEFLATED)
        if expected.unzip:
            self.assertUnzipAccepts(cut_archive(after, overlay))


def first_line(text):
    lines = [line for line in str(text).splitlines() if line.strip()]
    return lines[0] if lines else "(no message)"


def run_case(builder, expected):
    """None when the case passed, else why not."""
    run = CaseRun()
    try:
        run.setUp()
        run.prepare(builder())
        if isinstance(expected, Accepted):
            run.judge_accepted(expected)
        else:
            run.judge_refused(expected)
        return None
    except AssertionError as error:
        return first_line(error)
    except PremiseError as error:
        return "the package is not what the case says: %s" % error
    except Exception:  # a broken case must not hide the others
        return first_line(traceback.format_exc().splitlines()[-1])
    finally:
        run.doCleanups()


def describe(expected):
    if isinstance(expected, Accepted):
        return "accepted"
    return "refused (%d)" % expected.status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ktl", required=True, help="the ktl program to test")
    parser.add_argument("--runner", help="command that runs ktl (e.g. wine)")
    parser.add_argument("prefixes", nargs="*", metavar="PREFIX")
    args = parser.parse_args()
    test_ktl.KTL = os.path.abspath(args.ktl)
    test_ktl.RUNNER = shlex.split(args.runner) if args.runner else None

    cases = [case for case in CASES
             if not args.prefixes or any(case[0].startswith(p) for p in args.prefixes)]
    passed = failed = 0
    try:
        for name, builder, expected in cases:
            problem = run_case(builder, expected)
            if problem is None:
                passed += 1
                print("PASS %s: %s" % (name, describe(expected)), flush=True)
            else:
                failed += 1
                print("FAIL %s: %s: %s" % (name, describe(expected), problem), flush=True)
    finally:
        if test_ktl._launcher_dir is not None:
            test_ktl._launcher_dir.cleanup()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
