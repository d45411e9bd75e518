#!/usr/bin/env python3
"""ktl judged from the outside, by tools we did not write: zipfile, zlib, `unzip -t` and a
package checksum of our own (tools/make_test_package.py).

    python3 tests/python/test_ktl.py --ktl PATH_TO_KTL [--runner wine] [unittest args ...]

With --runner, ktl is a Windows program started through the runner (by way of cmd and a
small batch file that sets TMP and TEMP); the paths handed to it are then Windows paths on
drive Z:.
"""

import argparse
import errno
import io
import os
import random
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tools"))
import make_test_package as mtp  # noqa: E402

KTL = None      # path of the ktl program, set from --ktl
RUNNER = None   # command list that starts ktl (e.g. ["wine"]), or None to run it directly

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_DECLINED = 2
EXIT_DUPLICATE = 3
EXIT_OUTPUT = 4
EXIT_USAGE = 64

DUPLICATE_TEXT = "File with same name already exist in the zor install package."

END_SIGNATURE = b"PK\x05\x06"
LOCAL_SIGNATURE = b"PK\x03\x04"
CENTRAL_SIGNATURE = b"PK\x01\x02"
END_RECORD = struct.Struct("<4sHHHHIIH")                # 22 bytes
LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")           # 30 bytes
CENTRAL_HEADER = struct.Struct("<4sHHHHHHIIIHHHHHII")   # 46 bytes

# The window in which a ZIP reader looks for the end record: the record and a longest comment.
END_SEARCH_WINDOW = END_RECORD.size + 0xFFFF


# --------------------------------------------------------------------------------------------
# Helpers
# --------------------------------------------------------------------------------------------

def to_tool_path(path):
    """The text ktl gets for `path`: as is natively, a Z: drive path under Wine."""
    if RUNNER is None:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class KtlResult:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    @staticmethod
    def _lines(data):
        return data.decode("utf-8", "replace").splitlines()

    @property
    def out_lines(self):
        return self._lines(self.stdout)

    @property
    def err_lines(self):
        lines = self._lines(self.stderr)
        if RUNNER is not None:
            # Wine's own diagnostics are not ktl's output.
            lines = [line for line in lines
                     if not line.startswith("wine:") and ":fixme:" not in line
                     and ":err:" not in line and ":warn:" not in line]
        return lines

    def __repr__(self):
        return "exit %d, stdout %r, stderr %r" % (self.returncode, self.stdout, self.stderr)


# Under Wine, TMP and TEMP of a program started from Unix come from the prefix's registry,
# not from the Unix environment. A small batch file sets them from KTL_TEST_TMP (which Wine
# does pass on) and then starts ktl with the arguments it was given.
_launcher_dir = None


def windows_launcher():
    global _launcher_dir
    if _launcher_dir is None:
        _launcher_dir = tempfile.TemporaryDirectory(prefix="ktl-launcher-")
        with open(os.path.join(_launcher_dir.name, "ktl_launch.bat"), "wb") as f:
            f.write(b"@set TMP=%KTL_TEST_TMP%\r\n"
                    b"@set TEMP=%KTL_TEST_TMP%\r\n"
                    b'@"' + to_tool_path(KTL).encode("ascii") + b'" %*\r\n'
                    b"@exit /b %errorlevel%\r\n")
    return to_tool_path(os.path.join(_launcher_dir.name, "ktl_launch.bat"))


def run_ktl(args, temp_dir, stdin=subprocess.DEVNULL, cwd=None):
    """Runs ktl with `args` (already in the tool's path form), its temporary files going to
    `temp_dir`. Under Wine the arguments pass through cmd, so they must not hold cmd's
    special characters (& | < > ^ %)."""
    env = dict(os.environ)
    if RUNNER is None:
        env["TMPDIR"] = temp_dir
        command = [KTL] + list(args)
    else:
        env["KTL_TEST_TMP"] = to_tool_path(temp_dir)
        command = RUNNER + ["cmd", "/c", windows_launcher()] + list(args)
    for attempt in (1, 2):
        proc = subprocess.run(command, stdin=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, cwd=cwd)
        # Wine now and then fails to start the program at all (seen here twice, each once in a
        # full test run); ktl never says either, so the run is tried once more.
        if RUNNER is None or not (proc.stderr.startswith(b"Can't recognize") or
                                  proc.stdout.startswith(b"Application could not be started")):
            break
    return KtlResult(proc.returncode, proc.stdout, proc.stderr)


def read_members(package):
    """(ZipInfo, data) for every entry of the package's archive, in directory order, read by
    zipfile (which copes with the image in front of the archive)."""
    with zipfile.ZipFile(io.BytesIO(package)) as archive:
        return [(info, archive.read(info)) for info in archive.infolist()]


def find_end_record(package, overlay):
    """Offset of the archive's end record: the last signature whose central directory ends
    right where the record begins."""
    pos = len(package)
    while True:
        pos = package.rfind(END_SIGNATURE, 0, pos)
        if pos < overlay:
            raise AssertionError("no end record behind offset %d" % overlay)
        if pos + END_RECORD.size <= len(package):
            record = parse_end_record(package, pos)
            if overlay + record["cd_offset"] + record["cd_size"] == pos:
                return pos


def parse_end_record(data, pos):
    (sig, disk, cd_disk, disk_entries, entries, cd_size, cd_offset,
     comment_length) = END_RECORD.unpack_from(data, pos)
    return dict(sig=sig, disk=disk, cd_disk=cd_disk, disk_entries=disk_entries,
                entries=entries, cd_size=cd_size, cd_offset=cd_offset,
                comment_length=comment_length)


def parse_local_header(data, pos):
    (sig, version, flags, method, time, date, crc, csize, usize, name_length,
     extra_length) = LOCAL_HEADER.unpack_from(data, pos)
    name_at = pos + LOCAL_HEADER.size
    data_at = name_at + name_length + extra_length
    return dict(sig=sig, version=version, flags=flags, method=method, time=time, date=date,
                crc=crc, csize=csize, usize=usize, extra_length=extra_length,
                name=data[name_at:name_at + name_length], data_at=data_at)


def parse_central_directory(data, pos, count):
    """The entries of a central directory at `pos`, each with its raw bytes."""
    entries = []
    for _ in range(count):
        fields = CENTRAL_HEADER.unpack_from(data, pos)
        (sig, made_by, needed, flags, method, time, date, crc, csize, usize, name_length,
         extra_length, comment_length, disk, internal, external, offset) = fields
        end = pos + CENTRAL_HEADER.size + name_length + extra_length + comment_length
        name_at = pos + CENTRAL_HEADER.size
        entries.append(dict(sig=sig, made_by=made_by, needed=needed, flags=flags,
                            method=method, time=time, date=date, crc=crc, csize=csize,
                            usize=usize, extra_length=extra_length,
                            comment_length=comment_length, disk=disk, external=external,
                            offset=offset, name=data[name_at:name_at + name_length],
                            raw=data[pos:end]))
        pos = end
    return entries


def cut_archive(package, overlay):
    """The member archive alone: from the overlay offset to the end of the end record."""
    end = find_end_record(package, overlay)
    comment_length = parse_end_record(package, end)["comment_length"]
    return package[overlay:end + END_RECORD.size + comment_length]


def flip_byte(data, pos):
    changed = bytearray(data)
    changed[pos] ^= 0x5A
    return bytes(changed)


def mixed_bytes(seed, size):
    """Half random, half compressible bytes."""
    rng = random.Random(seed)
    half = size // 2
    words = [b"zor", b"install", b"package", b"member", b"\r\n", b" ", b"setup", b"0123"]
    text = bytearray()
    while len(text) < size - half:
        text += rng.choice(words)
    return rng.randbytes(half) + bytes(text[:size - half])


def stored_inner_zip(size):
    """A ZIP archive of about `size` bytes (members stored), to be packed as a member."""
    rng = random.Random(size)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as inner:
        inner.writestr(zipfile.ZipInfo("inner/data.bin", mtp.FIXED_DATE_TIME),
                       rng.randbytes(size))
        inner.writestr(zipfile.ZipInfo("inner/note.txt", mtp.FIXED_DATE_TIME), b"inner note")
    return buffer.getvalue()


SAMPLE_MEMBERS = [
    ("Zor/", b"", zipfile.ZIP_STORED),
    ("Zor/readme.txt", b"Zor sample product\r\n" * 40, zipfile.ZIP_DEFLATED),
    ("Zor/bin/", b"", zipfile.ZIP_STORED),
    ("Zor/bin/zor.dll", b"MZ" + bytes(range(256)) * 20, zipfile.ZIP_DEFLATED),
    ("Zor/bin/zor.cfg", b"[zor]\r\nmode=standard\r\n", zipfile.ZIP_STORED),
    ("InstallScript/auto1.ins", b"script 1\r\n" * 9, zipfile.ZIP_DEFLATED),
]


# --------------------------------------------------------------------------------------------
# Common test base
# --------------------------------------------------------------------------------------------

class KtlTestCase(unittest.TestCase):
    """Gives every test its own work directory and its own, checked, temporary directory."""

    def setUp(self):
        work = tempfile.TemporaryDirectory(prefix="ktl-work-")
        self.addCleanup(work.cleanup)
        self.work = work.name
        temp = tempfile.TemporaryDirectory(prefix="ktl-temp-")
        self.addCleanup(temp.cleanup)
        self.temp = temp.name

    # -- files ---------------------------------------------------------------------------

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def make_package(self, name="pkg.exe", members=SAMPLE_MEMBERS, sections=None,
                     comment=b"", seal=True):
        data = mtp.build_package(members, sections=sections, comment=comment, seal=seal)
        return self.write(name, data), data

    def work_listing(self):
        listing = []
        for root, dirs, files in os.walk(self.work):
            rel = os.path.relpath(root, self.work)
            for name in dirs:
                listing.append(os.path.normpath(os.path.join(rel, name)) + "/")
            for name in files:
                listing.append(os.path.normpath(os.path.join(rel, name)))
        return sorted(listing)

    # -- running ktl ---------------------------------------------------------------------

    def ktl(self, *args, stdin=subprocess.DEVNULL, cwd=None):
        result = run_ktl(args, self.temp, stdin=stdin, cwd=cwd)
        self.assertEqual(os.listdir(self.temp), [],
                         "ktl left files in its temporary directory (%r)" % (result,))
        return result

    def assertSucceeded(self, result):
        self.assertEqual(result.returncode, EXIT_OK, result)
        self.assertEqual(len(result.out_lines), 1, "expected one line on stdout: %r" % result)

    def assertFailedWith(self, result, code, *file_names):
        """Exit status `code` and exactly one line on stderr naming one of `file_names`."""
        self.assertEqual(result.returncode, code, result)
        lines = result.err_lines
        self.assertEqual(len(lines), 1, "expected one line on stderr: %r" % result)
        self.assertTrue(any(name in lines[0] for name in file_names),
                        "stderr %r names none of %r" % (lines[0], file_names))

    def assertFileUnchanged(self, path, data):
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data, "%s was changed" % path)

    # -- judging an inserted package ------------------------------------------------------

    def assertSealed(self, package):
        self.assertEqual(len(package) % 4, 0, "length %d is not a multiple of 4" % len(package))
        self.assertEqual(mtp.package_checksum(package), 0)
        for pos in (0, 1, len(package) // 2 + 1, len(package) - 6, len(package) - 1):
            self.assertNotEqual(mtp.package_checksum(flip_byte(package, pos)), 0,
                                "a change at %d went unnoticed by the checksum" % pos)

    def assertInserted(self, before, after, data, name, sections=None):
        """Judges `after`, the package `before` with `data` inserted as member `name` (bytes
        as stored)."""
        overlay = mtp.image_end(mtp.DEFAULT_SECTIONS if sections is None else sections)
        self.assertSealed(after)
        self.assertEqual(after[:overlay], before[:overlay], "the image bytes were changed")

        old_end_at = find_end_record(before, overlay)
        old_end = parse_end_record(before, old_end_at)
        old_entries = parse_central_directory(before, overlay + old_end["cd_offset"],
                                              old_end["entries"])
        new_end_at = find_end_record(after, overlay)
        new_end = parse_end_record(after, new_end_at)

        # The old members' local headers and data stay where they were, byte for byte.
        old_cd = old_end["cd_offset"]
        self.assertEqual(after[overlay:overlay + old_cd], before[overlay:overlay + old_cd])

        # The new member's local header starts where the old central directory did.
        local = parse_local_header(after, overlay + old_cd)
        self.assertEqual(local["sig"], LOCAL_SIGNATURE)
        self.assertEqual((local["version"], local["flags"], local["method"], local["time"],
                          local["date"], local["extra_length"]), (20, 0, 8, 0, 0, 0))
        self.assertEqual(local["name"], name)
        self.assertEqual(local["usize"], len(data))
        self.assertEqual(local["crc"], zlib.crc32(data))
        raw = after[local["data_at"]:local["data_at"] + local["csize"]]
        self.assertEqual(len(raw), local["csize"])
        inflater = zlib.decompressobj(-15)
        self.assertEqual(inflater.decompress(raw) + inflater.flush(), data)
        self.assertTrue(inflater.eof, "the raw deflate stream does not end")
        self.assertEqual(inflater.unused_data, b"", "bytes behind the deflate stream")

        # The new central directory: the old entries unchanged, then the new one.
        self.assertEqual(new_end["cd_offset"], local["data_at"] - overlay + local["csize"])
        entries = parse_central_directory(after, overlay + new_end["cd_offset"],
                                          new_end["entries"])
        self.assertEqual(len(entries), len(old_entries) + 1)
        for old, new in zip(old_entries, entries):
            self.assertEqual(new["raw"], old["raw"], "old entry %r changed" % old["name"])
        entry = entries[-1]
        self.assertEqual(entry["sig"], CENTRAL_SIGNATURE)
        self.assertEqual((entry["made_by"], entry["needed"], entry["flags"], entry["method"],
                          entry["time"], entry["date"]), (20, 20, 0, 8, 0, 0))
        self.assertEqual((entry["crc"], entry["csize"], entry["usize"]),
                         (local["crc"], local["csize"], local["usize"]))
        self.assertEqual((entry["extra_length"], entry["comment_length"], entry["disk"],
                          entry["external"]), (0, 0, 0, 0))
        self.assertEqual(entry["name"], name)
        self.assertEqual(entry["offset"], old_cd)
        cd_end = overlay + new_end["cd_offset"] + new_end["cd_size"]
        self.assertEqual(cd_end, new_end_at, "the central directory does not reach the end record")
        self.assertEqual(new_end["cd_size"], old_end["cd_size"] + len(entry["raw"]))

        # The new end record, then only pad bytes and the checksum word.
        self.assertEqual((new_end["disk"], new_end["cd_disk"]), (0, 0))
        self.assertEqual(new_end["entries"], old_end["entries"] + 1)
        self.assertEqual(new_end["disk_entries"], old_end["disk_entries"] + 1)
        self.assertEqual(new_end["comment_length"], 0)
        archive_end = new_end_at + END_RECORD.size
        self.assertEqual(len(after) - archive_end, 4 + (-archive_end % 4),
                         "the archive is not followed by just pad bytes and the checksum word")
        self.assertEqual(after[archive_end:-4], bytes(-archive_end % 4))

        # zipfile reads every member, old and new, with the right bytes.
        old_members = read_members(before)
        new_members = read_members(after)
        self.assertEqual(len(new_members), len(old_members) + 1)
        for (old_info, old_data), (new_info, new_data) in zip(old_members, new_members):
            self.assertEqual(new_info.orig_filename, old_info.orig_filename)
            self.assertEqual(new_data, old_data, "member %r changed" % old_info.orig_filename)
        info, member_data = new_members[-1]
        self.assertEqual(member_data, data)
        self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
        self.assertEqual(info.orig_filename.encode("cp437"), name)
        with zipfile.ZipFile(io.BytesIO(after)) as archive:
            self.assertIsNone(archive.testzip())

        self.assertUnzipAccepts(cut_archive(after, overlay))

    def assertUnzipAccepts(self, archive):
        unzip = shutil.which("unzip")
        if unzip is None:
            return
        path = self.write("cut-out.zip", archive)
        try:
            proc = subprocess.run([unzip, "-tqq", path], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            # Status 1 is a warning only; unzip gives it for names with backslashes.
            self.assertIn(proc.returncode, (0, 1), proc.stdout)
            self.assertNotIn(b"error", proc.stdout.lower(), proc.stdout)
        finally:
            os.remove(path)

    def insert_new(self, data, name=None, file_name="notes.txt", members=SAMPLE_MEMBERS,
                   sections=None, comment=b"", extra=()):
        """Inserts `data` into a fresh package, writing out.exe; checks everything and
        returns the new package."""
        package, before = self.make_package(members=members, sections=sections, comment=comment)
        source = self.write(os.path.join("in", file_name), data)
        args = ["insert", to_tool_path(package), to_tool_path(source),
                "-o", to_tool_path(self.path("out.exe"))]
        if name is not None:
            args += ["-n", name]
        result = self.ktl(*args, *extra)
        self.assertSucceeded(result)
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["in/", "in/" + file_name, "out.exe", "pkg.exe"])
        after = self.read("out.exe")
        stored = (file_name if name is None else name).encode("ascii")
        self.assertInserted(before, after, data, stored, sections)
        return after

    def insert_in_place(self, data, name=None, file_name="notes.txt", members=SAMPLE_MEMBERS,
                        sections=None, comment=b"", extra=()):
        package, before = self.make_package(members=members, sections=sections, comment=comment)
        source = self.write(os.path.join("in", file_name), data)
        args = ["insert", to_tool_path(package), to_tool_path(source)]
        if name is not None:
            args += ["-n", name]
        result = self.ktl(*args, *extra)
        self.assertSucceeded(result)
        self.assertEqual(self.work_listing(), ["in/", "in/" + file_name, "pkg.exe"])
        after = self.read("pkg.exe")
        stored = (file_name if name is None else name).encode("ascii")
        self.assertInserted(before, after, data, stored, sections)
        return after


# --------------------------------------------------------------------------------------------
# insert: the good cases
# --------------------------------------------------------------------------------------------

class InsertTests(KtlTestCase):
    DATA = b"[script]\r\nstep=1\r\n" * 50

    def test_new_package_takes_file_base_name(self):
        self.insert_new(self.DATA)

    def test_new_package_with_member_name(self):
        self.insert_new(self.DATA, name="Zor/extra/notes.txt")

    def test_in_place(self):
        self.insert_in_place(self.DATA, name="InstallScript/auto2.ins")

    def test_output_equal_to_package_path_is_in_place(self):
        package, before = self.make_package()
        source = self.write("notes.txt", self.DATA)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          "-o", to_tool_path(package))
        self.assertSucceeded(result)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])
        self.assertInserted(before, self.read("pkg.exe"), self.DATA, b"notes.txt")

    def test_output_differing_in_case_is_in_place_on_windows(self):
        if RUNNER is None:
            self.skipTest("path text compared without case only on Windows")
        package, before = self.make_package()
        source = self.write("notes.txt", self.DATA)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          "-o", to_tool_path(self.path("PKG.EXE")))
        self.assertSucceeded(result)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])
        self.assertInserted(before, self.read("pkg.exe"), self.DATA, b"notes.txt")

    def test_existing_output_file_is_replaced(self):
        package, before = self.make_package()
        source = self.write("notes.txt", self.DATA)
        output = self.write("out.exe", b"an older package" * 1000)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          "-o", to_tool_path(output))
        self.assertSucceeded(result)
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["notes.txt", "out.exe", "pkg.exe"])
        self.assertInserted(before, self.read("out.exe"), self.DATA, b"notes.txt")

    def test_member_name_with_backslash_is_stored_as_given(self):
        after = self.insert_new(self.DATA, name="InstallScript\\auto2.ins")
        info, data = read_members(after)[-1]
        self.assertEqual(info.orig_filename, "InstallScript\\auto2.ins")
        self.assertEqual(data, self.DATA)

    def test_second_insert_into_first_result(self):
        first = self.insert_new(self.DATA, name="InstallScript/auto2.ins")
        second_data = b"second file\r\n" * 333
        source = self.write("second.txt", second_data)
        result = self.ktl("insert", to_tool_path(self.path("out.exe")), to_tool_path(source))
        self.assertSucceeded(result)
        after = self.read("out.exe")
        self.assertInserted(first, after, second_data, b"second.txt")
        names = [info.orig_filename for info, _ in read_members(after)]
        self.assertEqual(names, [m[0] for m in SAMPLE_MEMBERS] +
                         ["InstallScript/auto2.ins", "second.txt"])


class MemberSizeTests(KtlTestCase):
    """Members of sizes around the tool's buffer sizes, and a package larger than them."""

    def test_empty_file(self):
        after = self.insert_new(b"", name="Zor/empty.txt")
        info, _ = read_members(after)[-1]
        self.assertEqual(info.file_size, 0)

    def test_exactly_40960_bytes(self):
        self.insert_new(mixed_bytes(1, 40960))

    def test_exactly_twice_40960_bytes(self):
        self.insert_in_place(mixed_bytes(2, 2 * 40960))

    def test_three_megabytes(self):
        self.insert_new(mixed_bytes(3, 3 * 1024 * 1024 + 123), name="Zor/bin/big.dat")

    def test_large_package_in_place(self):
        big = random.Random(4).randbytes(2 * 1024 * 1024 + 77)
        members = SAMPLE_MEMBERS + [("Zor/bin/big.bin", big, zipfile.ZIP_STORED)]
        self.insert_in_place(mixed_bytes(5, 70000), members=members)


class ArchiveShapeTests(KtlTestCase):
    """Packages whose image or member archive is laid out less plainly."""

    def test_archive_comment_is_dropped(self):
        after = self.insert_new(b"after a comment\n", comment=b"Zor install package 1.0")
        with zipfile.ZipFile(io.BytesIO(after)) as archive:
            self.assertEqual(archive.comment, b"")

    def test_stored_zip_member_with_its_own_end_record(self):
        inner = stored_inner_zip(30000)
        members = SAMPLE_MEMBERS + [("Zor/data/inner.zip", inner, zipfile.ZIP_STORED)]
        package = mtp.build_package(members)
        # The inner end record must lie where an end record search looks.
        inner_end = package.find(END_SIGNATURE, mtp.image_end(mtp.DEFAULT_SECTIONS))
        real_end = find_end_record(package, mtp.image_end(mtp.DEFAULT_SECTIONS))
        self.assertLess(inner_end, real_end)
        self.assertGreaterEqual(inner_end, len(package) - END_SEARCH_WINDOW)
        after = self.insert_in_place(b"beside an inner zip\r\n" * 20, members=members)
        self.assertEqual(read_members(after)[-2][1], inner)

    def test_sections_out_of_file_order(self):
        # Raw-data ends 30208, 25600, 26112 in table order: the image ends at 30208.
        sections = [(27648, 2560), (0x400, 25600 - 0x400), (25600, 512)]
        self.assertEqual(mtp.image_end(sections), 30208)
        self.insert_new(b"out of order\r\n" * 30, sections=sections)

    def test_empty_archive(self):
        after = self.insert_new(b"the first member\r\n", members=[])
        self.assertEqual([info.orig_filename for info, _ in read_members(after)], ["notes.txt"])

    def test_only_directory_entries(self):
        self.insert_in_place(b"into a directory\r\n", name="Zor/bin/new.txt",
                             members=[("Zor/", b"", 0), ("Zor/bin/", b"", 0)])

    def test_most_members(self):
        # A count of 0xFFFF is the zip64 marker, so 65534 members are the most a package holds.
        members = [("m%05d" % i, b"", zipfile.ZIP_STORED) for i in range(65533)]
        package, _ = self.make_package(members=members)
        source = self.write("notes.txt", b"one more\r\n")
        self.assertSucceeded(self.ktl("insert", to_tool_path(package), to_tool_path(source)))
        self.assertSucceeded(self.ktl("verify", to_tool_path(package)))
        full = self.read("pkg.exe")
        with zipfile.ZipFile(io.BytesIO(full)) as archive:
            self.assertEqual(len(archive.infolist()), 65534)

        result = self.ktl("insert", to_tool_path(package), to_tool_path(source), "-n", "more")
        self.assertFailedWith(result, EXIT_FAILED, "pkg.exe")
        self.assertIn("already holds 65534 members", result.err_lines[0])
        self.assertFileUnchanged(package, full)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])

        # Replacing does not add to the count.
        self.assertSucceeded(self.ktl("insert", to_tool_path(package), to_tool_path(source),
                                      "--replace", "-o", to_tool_path(self.path("out.exe"))))
        with zipfile.ZipFile(io.BytesIO(self.read("out.exe"))) as archive:
            self.assertEqual(len(archive.infolist()), 65534)


# --------------------------------------------------------------------------------------------
# insert: refused and failed cases
# --------------------------------------------------------------------------------------------

class DuplicateTests(KtlTestCase):
    """A member of the same name is never added twice."""

    def assertDuplicate(self, member_name, file_name="auto1.ins", members=SAMPLE_MEMBERS):
        package, before = self.make_package(members=members)
        source = self.write(file_name, b"a duplicate\r\n")
        output = self.path("out.exe")
        args = ["insert", to_tool_path(package), to_tool_path(source), "-o", to_tool_path(output)]
        if member_name is not None:
            args += ["-n", member_name]
        result = self.ktl(*args)
        self.assertFailedWith(result, EXIT_DUPLICATE, "pkg.exe", file_name)
        self.assertIn(DUPLICATE_TEXT, result.err_lines[0])
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), sorted([file_name, "pkg.exe"]))

    def test_same_name(self):
        self.assertDuplicate("InstallScript/auto1.ins")

    def test_name_differing_in_case(self):
        self.assertDuplicate("zor/BIN/Zor.Cfg")

    def test_backslash_equals_stored_slash(self):
        self.assertDuplicate("InstallScript\\auto1.ins")

    def test_slash_equals_stored_backslash(self):
        members = [("InstallScript\\auto1.ins", b"stored with a backslash", 8)]
        self.assertDuplicate("installscript/AUTO1.INS", members=members)

    def test_file_base_name_at_top_level(self):
        members = SAMPLE_MEMBERS + [("AUTO1.INS", b"top level", 8)]
        self.assertDuplicate(None, file_name="auto1.ins", members=members)

    def test_directory_entry_is_not_a_duplicate(self):
        package, before = self.make_package()
        source = self.write("empty", b"")
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source), "-n", "Zor/bin/")
        self.assertSucceeded(result)
        self.assertInserted(before, self.read("pkg.exe"), b"", b"Zor/bin/")

    def test_same_file_inserted_twice(self):
        data = b"inserted twice\r\n" * 10
        first = self.insert_new(data)
        result = self.ktl("insert", to_tool_path(self.path("out.exe")),
                          to_tool_path(self.path("in", "notes.txt")),
                          "-o", to_tool_path(self.path("again.exe")))
        self.assertFailedWith(result, EXIT_DUPLICATE, "out.exe", "notes.txt")
        self.assertIn(DUPLICATE_TEXT, result.err_lines[0])
        self.assertFileUnchanged(self.path("out.exe"), first)
        self.assertFalse(os.path.exists(self.path("again.exe")))

    def test_same_member_name_inserted_twice_in_place(self):
        first = self.insert_in_place(b"first\r\n", name="Zor/bin/added.txt")
        result = self.ktl("insert", to_tool_path(self.path("pkg.exe")),
                          to_tool_path(self.path("in", "notes.txt")), "-n", "Zor/bin/added.txt")
        self.assertFailedWith(result, EXIT_DUPLICATE, "pkg.exe", "notes.txt")
        self.assertIn(DUPLICATE_TEXT, result.err_lines[0])
        self.assertFileUnchanged(self.path("pkg.exe"), first)
        self.assertEqual(self.work_listing(), ["in/", "in/notes.txt", "pkg.exe"])


class DamagedPackageTests(KtlTestCase):
    """A package whose checksum is not zero is worked on only when the user says so."""

    def make_damaged(self, pos=0x500):
        _, sealed = self.make_package()
        damaged = flip_byte(sealed, pos)
        return self.write("pkg.exe", damaged), damaged

    def test_no_declines_new_package(self):
        package, before = self.make_damaged()
        source = self.write("notes.txt", b"declined\r\n")
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          "-o", to_tool_path(self.path("out.exe")), "--no")
        self.assertFailedWith(result, EXIT_DECLINED, "pkg.exe")
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])

    def test_no_declines_in_place(self):
        package, before = self.make_damaged()
        source = self.write("notes.txt", b"declined\r\n")
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source), "--no")
        self.assertFailedWith(result, EXIT_DECLINED, "pkg.exe")
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])

    def test_no_terminal_means_no(self):
        package, before = self.make_damaged()
        source = self.write("notes.txt", b"declined\r\n")
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          stdin=subprocess.DEVNULL)
        self.assertFailedWith(result, EXIT_DECLINED, "pkg.exe")
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])

    def test_yes_goes_on_and_seals_again(self):
        package, before = self.make_damaged()
        self.assertNotEqual(mtp.package_checksum(before), 0)
        data = b"accepted\r\n" * 7
        source = self.write("notes.txt", data)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source),
                          "-o", to_tool_path(self.path("out.exe")), "--yes")
        self.assertSucceeded(result)
        self.assertFileUnchanged(package, before)
        self.assertInserted(before, self.read("out.exe"), data, b"notes.txt")

    def test_yes_on_unsealed_package_of_odd_length(self):
        size = len(mtp.build_package(SAMPLE_MEMBERS, seal=False))
        odd = b"odd" * 5 + b"." * ((-size % 4) + 1)
        members = SAMPLE_MEMBERS + [("Zor/odd.txt", odd, zipfile.ZIP_STORED)]
        package, before = self.make_package(members=members, seal=False)
        self.assertNotEqual(len(before) % 4, 0)
        data = b"sealed at last\r\n"
        source = self.write("notes.txt", data)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source), "--yes")
        self.assertSucceeded(result)
        self.assertInserted(before, self.read("pkg.exe"), data, b"notes.txt")


class RejectedPackageTests(KtlTestCase):
    """Files that are no install package, and files that cannot be read: status 1, nothing
    changed, nothing left behind."""

    def assertRejected(self, package_data, *extra, name="pkg.exe", source_data=b"x\r\n"):
        package = self.write(name, package_data)
        source = self.write("notes.txt", source_data)
        for in_place in (False, True):
            args = ["insert", to_tool_path(package), to_tool_path(source)]
            if not in_place:
                args += ["-o", to_tool_path(self.path("out.exe"))]
            result = self.ktl(*args, *extra)
            self.assertFailedWith(result, EXIT_FAILED, name)
            self.assertFileUnchanged(package, package_data)
            self.assertEqual(self.work_listing(), sorted([name, "notes.txt"]))

    def test_text_file(self):
        self.assertRejected(mtp.seal(b"This is a text file, not a program.\r\n" * 20))

    def test_empty_file(self):
        self.assertRejected(b"")

    def test_bad_pe_signature(self):
        image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
        image[mtp.PE_HEADER_OFFSET + 1] = ord("X")
        self.assertRejected(mtp.seal(bytes(image) + mtp.build_archive(SAMPLE_MEMBERS)))

    def test_image_without_overlay(self):
        image = mtp.build_pe_image(mtp.DEFAULT_SECTIONS)
        # The last word of the last section seals it: checksum zero, nothing behind the image.
        sealed = mtp.seal(image[:-4])
        self.assertEqual(len(sealed), len(image))
        self.assertRejected(sealed)

    def test_overlay_without_end_record(self):
        image = mtp.build_pe_image(mtp.DEFAULT_SECTIONS)
        archive = mtp.build_archive(SAMPLE_MEMBERS)
        junk = archive.replace(END_SIGNATURE, b"PK\x05\x07")
        self.assertRejected(mtp.seal(image + junk))

    def test_missing_package(self):
        source = self.write("notes.txt", b"x\r\n")
        result = self.ktl("insert", to_tool_path(self.path("missing.exe")), to_tool_path(source),
                          "-o", to_tool_path(self.path("out.exe")))
        self.assertFailedWith(result, EXIT_FAILED, "missing.exe")
        self.assertEqual(self.work_listing(), ["notes.txt"])

    def test_missing_file_to_insert(self):
        package, before = self.make_package()
        for output in (["-o", to_tool_path(self.path("out.exe"))], []):
            result = self.ktl("insert", to_tool_path(package),
                              to_tool_path(self.path("nowhere.txt")), *output)
            self.assertFailedWith(result, EXIT_FAILED, "nowhere.txt")
            self.assertFileUnchanged(package, before)
            self.assertEqual(self.work_listing(), ["pkg.exe"])

    def test_directory_as_file_to_insert(self):
        package, before = self.make_package()
        os.mkdir(self.path("folder"))
        result = self.ktl("insert", to_tool_path(package), to_tool_path(self.path("folder")),
                          "-o", to_tool_path(self.path("out.exe")))
        self.assertFailedWith(result, EXIT_FAILED, "folder")
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["folder/", "pkg.exe"])

    def test_no_temporary_directory_needed(self):
        # An insert writes only the package or the new package: a missing temporary directory
        # does not matter, and nothing lands in an existing one.
        package, _ = self.make_package()
        source = self.write("notes.txt", b"x\r\n")
        missing = os.path.join(self.temp, "missing")
        for output in (["-o", to_tool_path(self.path("out.exe"))], []):
            result = run_ktl(["insert", to_tool_path(package), to_tool_path(source), *output],
                             missing)
            self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.work_listing(), ["notes.txt", "out.exe", "pkg.exe"])
        self.assertEqual(os.listdir(self.temp), [])

    def test_unreadable_file_to_insert(self):
        if RUNNER is not None or os.geteuid() == 0:
            self.skipTest("needs POSIX permissions that apply to this user")
        package, before = self.make_package()
        source = self.write("secret.txt", b"secret\r\n")
        os.chmod(source, 0)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source))
        self.assertFailedWith(result, EXIT_FAILED, "secret.txt")
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), ["pkg.exe", "secret.txt"])


class OutputFileTests(KtlTestCase):
    """An output package that cannot be created: status 4."""

    def assertOutputRefused(self, output_text, output_name, cwd=None, package_text=None):
        package = self.path("pkg.exe")
        with open(package, "rb") as f:
            before = f.read()
        listing = self.work_listing()
        result = self.ktl("insert", package_text or to_tool_path(package),
                          to_tool_path(self.path("notes.txt")), "-o", output_text, cwd=cwd)
        self.assertFailedWith(result, EXIT_OUTPUT, output_name)
        self.assertFileUnchanged(package, before)
        self.assertEqual(self.work_listing(), listing)

    def setUp(self):
        super().setUp()
        self.make_package()
        self.write("notes.txt", b"nowhere to go\r\n")

    def test_missing_directory(self):
        self.assertOutputRefused(to_tool_path(self.path("missing", "out.exe")), "out.exe")

    def test_existing_directory(self):
        os.mkdir(self.path("out.exe"))
        self.assertOutputRefused(to_tool_path(self.path("out.exe")), "out.exe")

    def test_progress_on_a_terminal_only(self):
        if RUNNER is not None or not hasattr(os, "openpty"):
            self.skipTest("needs a POSIX terminal")
        package, _ = self.make_package()
        source = self.write("large.bin", random.Random(7).randbytes(3 << 20))
        outputs = {}
        for quiet in ([], ["--quiet"]):
            leader, follower = os.openpty()
            try:
                subprocess.run([KTL, "insert", package, source, "-o", self.path("out.exe"), *quiet],
                               stderr=follower, stdout=subprocess.DEVNULL, check=True,
                               env=dict(os.environ, TMPDIR=self.temp))
                os.close(follower)
                # The terminal hands its bytes on in pieces, later ones now and then only after
                # the program has ended: read until it is closed.
                outputs[bool(quiet)] = b""
                while True:
                    try:
                        piece = os.read(leader, 65536)
                    except OSError:  # all read, and the terminal is closed
                        break
                    if not piece:
                        break
                    outputs[bool(quiet)] += piece
            finally:
                os.close(leader)
        self.assertRegex(outputs[False], rb"^\rktl: +\d+% of \d+ MiB")
        self.assertTrue(outputs[False].endswith(b"\r"), outputs[False])  # cleared at the end
        self.assertEqual(outputs[True], b"")

    def test_failure_gives_the_systems_reason(self):
        # The one line names the file and ends with the system's own text for the error.
        result = self.ktl("insert", to_tool_path(self.path("pkg.exe")),
                          to_tool_path(self.path("notes.txt")), "-o",
                          to_tool_path(self.path("missing", "out.exe")))
        line = result.err_lines[0]
        reason = line.rsplit('out.exe": ', 1)[-1]
        self.assertNotEqual(reason, line, result)
        if RUNNER is None:
            self.assertEqual(reason, os.strerror(errno.ENOENT))
        else:
            self.assertRegex(reason, r"\w+ \w+")  # the system's sentence, whatever its language

    def test_symbolic_link_to_package(self):
        if RUNNER is not None:
            self.skipTest("file identity is checked on POSIX systems")
        os.symlink("pkg.exe", self.path("link.exe"))
        self.assertOutputRefused(self.path("link.exe"), "link.exe")

    def test_hard_link_to_package(self):
        if RUNNER is not None:
            self.skipTest("file identity is checked on POSIX systems")
        os.link(self.path("pkg.exe"), self.path("hard.exe"))
        self.assertOutputRefused(self.path("hard.exe"), "hard.exe")

    def test_other_path_text_for_package(self):
        if RUNNER is not None:
            self.skipTest("file identity is checked on POSIX systems")
        os.mkdir(self.path("dir"))
        self.assertOutputRefused("./dir/../pkg.exe", "pkg.exe", cwd=self.work,
                                 package_text="pkg.exe")


# --------------------------------------------------------------------------------------------
# list and verify
# --------------------------------------------------------------------------------------------

class ListTests(KtlTestCase):
    def assertListMatches(self, package_path, package):
        result = self.ktl("list", to_tool_path(package_path))
        self.assertEqual(result.returncode, EXIT_OK, result)
        with zipfile.ZipFile(io.BytesIO(package)) as archive:
            self.assertEqual(result.out_lines, archive.namelist())
            self.assertEqual(result.out_lines,
                             [info.orig_filename for info in archive.infolist()])

    def test_sample_package(self):
        members = SAMPLE_MEMBERS + [("Zor\\win\\setup.ini", b"[setup]\r\n", 8),
                                    ("Zor/win/", b"", 0)]
        path, package = self.make_package(members=members)
        self.assertListMatches(path, package)

    def test_inserted_package(self):
        after = self.insert_new(b"listed\r\n", name="Zor\\listed.txt")
        self.assertListMatches(self.path("out.exe"), after)

    def test_package_with_inner_zip_and_comment(self):
        members = [("inner.zip", stored_inner_zip(20000), 0), ("after.txt", b"after", 8)]
        path, package = self.make_package(members=members, comment=b"PK comment")
        self.assertListMatches(path, package)

    def test_not_a_package(self):
        path = self.write("text.exe", mtp.seal(b"just text\r\n" * 10))
        result = self.ktl("list", to_tool_path(path))
        self.assertFailedWith(result, EXIT_FAILED, "text.exe")

    def test_missing_package(self):
        result = self.ktl("list", to_tool_path(self.path("missing.exe")))
        self.assertFailedWith(result, EXIT_FAILED, "missing.exe")


class VerifyTests(KtlTestCase):
    def verify(self, data, name="pkg.exe"):
        path = self.write(name, data)
        result = self.ktl("verify", to_tool_path(path))
        self.assertFileUnchanged(path, data)
        return result

    def assertVerifyFails(self, data):
        result = self.verify(data)
        self.assertEqual(result.returncode, EXIT_FAILED, result)
        self.assertGreaterEqual(len(result.err_lines), 1, result)
        self.assertNotEqual(result.err_lines[0].strip(), "", result)

    def test_sound_package(self):
        members = SAMPLE_MEMBERS + [("Zor/data/inner.zip", stored_inner_zip(30000), 0)]
        self.assertEqual(self.verify(mtp.build_package(members)).returncode, EXIT_OK)

    def test_inserted_package(self):
        self.insert_new(mixed_bytes(7, 50000))
        result = self.ktl("verify", to_tool_path(self.path("out.exe")))
        self.assertEqual(result.returncode, EXIT_OK, result)

    def test_inserted_package_that_had_a_comment(self):
        self.insert_in_place(b"odd", name="odd.txt", comment=b"a comment")
        result = self.ktl("verify", to_tool_path(self.path("pkg.exe")))
        self.assertEqual(result.returncode, EXIT_OK, result)

    def test_checksum_not_zero(self):
        package = mtp.build_package(SAMPLE_MEMBERS)
        self.assertVerifyFails(flip_byte(package, 0x600))

    def test_length_not_multiple_of_four(self):
        package = mtp.build_package(SAMPLE_MEMBERS) + b"\0"
        self.assertEqual(mtp.package_checksum(package), 0)
        self.assertVerifyFails(package)

    def test_not_a_pe_image(self):
        self.assertVerifyFails(mtp.seal(b"ZM" + bytes(range(256)) * 40))

    def test_no_end_record(self):
        image = mtp.build_pe_image(mtp.DEFAULT_SECTIONS)
        archive = mtp.build_archive(SAMPLE_MEMBERS).replace(END_SIGNATURE, b"PK\x05\x07")
        self.assertVerifyFails(mtp.seal(image + archive))

    def test_member_data_not_matching_crc(self):
        unsealed = mtp.build_package(SAMPLE_MEMBERS, seal=False)
        overlay = mtp.image_end(mtp.DEFAULT_SECTIONS)
        # Zor/bin/zor.cfg is stored: one changed data byte leaves only its CRC wrong.
        with zipfile.ZipFile(io.BytesIO(unsealed)) as archive:
            info = archive.getinfo("Zor/bin/zor.cfg")
        # zipfile counts header_offset from the start of the file, image included.
        self.assertGreater(info.header_offset, overlay)
        local = parse_local_header(unsealed, info.header_offset)
        self.assertEqual(local["name"], b"Zor/bin/zor.cfg")
        corrupted = mtp.seal(flip_byte(unsealed, local["data_at"] + 3))
        self.assertEqual(mtp.package_checksum(corrupted), 0)
        self.assertVerifyFails(corrupted)


def journal_for(package, tail_at):
    """The rollback journal an in-place change of `package` writes before it touches the bytes
    from `tail_at` on: the header fields, a proof of the kept bytes (the CRC-32 of their last
    4096 bytes and their share of the package checksum), the CRC-32 of the rest, the tail."""
    tail = package[tail_at:]
    kept = package[:tail_at] + bytes(-tail_at % 4)
    kept_sum = sum(struct.unpack("<%dI" % (len(kept) // 4), kept)) & 0xFFFFFFFF
    stretch_crc = zlib.crc32(package[max(0, tail_at - 4096):tail_at])
    header = b"KTLJRNL2" + struct.pack("<QQIII", len(package), tail_at, len(tail), stretch_crc,
                                       kept_sum)
    return header + struct.pack("<I", zlib.crc32(header + tail)) + tail


class JournalTests(KtlTestCase):
    """What every command does with the journal an interrupted in-place change left."""

    COMMANDS = (("list",), ("verify",), ("insert", "NOTES"), ("extract", "Zor/bin/zor.cfg"),
                ("remove", "Zor/bin/zor.cfg"))

    def interrupted(self):
        path, original = self.make_package()
        tail_at = len(original) - 120
        self.write("pkg.exe.ktl-journal", journal_for(original, tail_at))
        self.write("pkg.exe", original[:tail_at + 10] + b"\xee" * 700)
        return path, original

    def run_command(self, command, path):
        args = [command[0], to_tool_path(path)]
        if len(command) > 1:
            args.append(to_tool_path(self.write("notes.txt", b"notes\r\n"))
                        if command[1] == "NOTES" else command[1])
        if command[0] in ("extract", "insert", "remove"):
            args += ["-o", to_tool_path(self.path("out.bin"))]
        return self.ktl(*args)

    def test_a_rollback_is_told_whatever_the_command(self):
        for command in self.COMMANDS:
            with self.subTest(command=command[0]):
                path, original = self.interrupted()
                result = self.run_command(command, path)
                self.assertEqual(result.returncode, EXIT_OK, result)
                self.assertEqual(len(result.err_lines), 1, result)
                self.assertIn("pkg.exe", result.err_lines[0])
                self.assertIn("an interrupted change was rolled back: the package is as it was "
                              "before it", result.err_lines[0])
                self.assertFileUnchanged(path, original)
                self.assertFalse(os.path.exists(path + ".ktl-journal"))

    def test_a_journal_of_another_package_touches_nothing(self):
        for command in self.COMMANDS:
            with self.subTest(command=command[0]):
                if os.path.exists(self.path("out.bin")):
                    os.remove(self.path("out.bin"))
                _, old = self.make_package()
                journal = journal_for(old, len(old) - 120)
                self.write("pkg.exe.ktl-journal", journal)
                # A newer release copied in after the crash.
                path, fresh = self.make_package(
                    members=SAMPLE_MEMBERS + [("Zor/new.txt", b"newer\r\n" * 300, 8)])
                result = self.run_command(command, path)
                self.assertFailedWith(result, EXIT_FAILED, "pkg.exe.ktl-journal")
                self.assertIn("pkg.exe.stale-ktl-journal", result.err_lines[0])
                self.assertFileUnchanged(path, fresh)
                self.assertFalse(os.path.exists(path + ".ktl-journal"))
                self.assertEqual(self.read("pkg.exe.stale-ktl-journal"), journal)
                self.assertFalse(os.path.exists(self.path("out.bin")))
                os.remove(path + ".stale-ktl-journal")
                self.assertEqual(self.run_command(command, path).returncode, EXIT_OK)

    def test_a_journal_beside_no_package_names_that_cause(self):
        _, original = self.make_package()
        journal = journal_for(original, len(original) - 120)
        for what in ("missing", "folder"):
            with self.subTest(what=what):
                self.write("gone.exe.ktl-journal", journal)
                if what == "folder":
                    os.mkdir(self.path("gone.exe"))
                for command in self.COMMANDS:
                    result = self.run_command(command, self.path("gone.exe"))
                    self.assertFailedWith(result, EXIT_FAILED, "gone.exe.ktl-journal")
                    self.assertIn("missing or a folder", result.err_lines[0])
                self.assertEqual(self.read("gone.exe.ktl-journal"), journal)


# --------------------------------------------------------------------------------------------
# the command line itself
# --------------------------------------------------------------------------------------------

class UsageTests(KtlTestCase):
    def test_help(self):
        result = self.ktl("--help")
        self.assertEqual(result.returncode, EXIT_OK, result)
        self.assertIn("usage", result.stdout.decode("utf-8", "replace").lower())
        self.assertIn("insert", result.stdout.decode("utf-8", "replace"))

    def test_version(self):
        result = self.ktl("--version")
        self.assertEqual(result.returncode, EXIT_OK, result)
        # The version stands once, in the project's build file.
        with open(os.path.join(SOURCE_ROOT, "CMakeLists.txt"), encoding="utf-8") as build:
            version = re.search(r"project\(KitTailor VERSION ([0-9.]+)", build.read()).group(1)
        self.assertEqual(result.stdout.decode("utf-8", "replace").strip(), "ktl " + version)

    def test_usage_errors(self):
        package, before = self.make_package()
        source = self.write("notes.txt", b"never inserted\r\n")
        pkg, src = to_tool_path(package), to_tool_path(source)
        out = to_tool_path(self.path("out.exe"))
        cases = [
            [],
            ["bogus"],
            ["insert"],
            ["insert", pkg],
            ["insert", pkg, src, "--bogus"],
            ["insert", pkg, src, "-o"],
            ["insert", pkg, src, "-o", out, "-n"],
            ["insert", pkg, src, "--yes", "--no"],
            ["insert", pkg, src, src],
            ["list"],
            ["list", pkg, "--bogus"],
            ["verify"],
            ["remove", pkg],
            ["remove", pkg, "notes.txt", "--replace"],
            ["extract", pkg],
            ["extract", pkg, "notes.txt", "--yes"],
            ["extract", pkg, "notes.txt", "-o"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.ktl(*args)
                self.assertEqual(result.returncode, EXIT_USAGE, result)
                self.assertFileUnchanged(package, before)
                self.assertEqual(self.work_listing(), ["notes.txt", "pkg.exe"])


# --------------------------------------------------------------------------------------------
# double-byte file names (Windows build under Wine, Chinese Simplified code page)
# --------------------------------------------------------------------------------------------

class DoubleByteNames(KtlTestCase):
    """In code page 936 the character U+4E57 is 0x81 0x5C: its trail byte is a backslash,
    which must not be taken for a path separator."""

    NAME = "\u4e57auto.ins"

    @classmethod
    def setUpClass(cls):
        if RUNNER is None or not os.environ.get("LANG", "").startswith("zh_CN"):
            raise unittest.SkipTest("needs the Windows build under Wine with LANG=zh_CN")

    def test_file_base_name_keeps_trail_byte(self):
        expected = self.NAME.encode("gbk")
        self.assertEqual(expected[:2], b"\x81\x5c")
        package, before = self.make_package()
        data = b"double-byte name\r\n" * 5
        # The file sits in a directory whose own name ends in the same character.
        source = self.write(os.path.join("\u4e57", self.NAME), data)
        result = self.ktl("insert", to_tool_path(package), to_tool_path(source))
        self.assertSucceeded(result)
        after = self.read("pkg.exe")
        self.assertInserted(before, after, data, expected)
        info, _ = read_members(after)[-1]
        self.assertEqual(info.flag_bits & 0x800, 0)
        self.assertEqual(info.orig_filename.encode("cp437"), expected)

    def test_stored_double_byte_name_is_a_duplicate(self):
        stored = self.NAME.encode("gbk")
        placeholder = b"X" * (len(stored) - len("auto.ins")) + b"auto.ins"
        members = SAMPLE_MEMBERS + [(placeholder.decode("ascii"), b"stored", 8)]
        package = mtp.build_package(members, seal=False)
        # zipfile would store a non-ASCII name as UTF-8; put the code page bytes in by hand.
        self.assertEqual(package.count(placeholder), 2)
        package = mtp.seal(package.replace(placeholder, stored))
        path = self.write("pkg.exe", package)
        source = self.write("\u4e57AUTO.INS", b"same name, other case")
        result = self.ktl("insert", to_tool_path(path), to_tool_path(source))
        self.assertFailedWith(result, EXIT_DUPLICATE, "pkg.exe", "AUTO.INS")
        self.assertIn(DUPLICATE_TEXT, result.err_lines[0])
        self.assertFileUnchanged(path, package)


# --------------------------------------------------------------------------------------------

def main():
    global KTL, RUNNER
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--ktl", required=True, help="the ktl program to test")
    parser.add_argument("--runner", help="command that runs ktl (e.g. wine)")
    args, rest = parser.parse_known_args()
    KTL = os.path.abspath(args.ktl)
    RUNNER = shlex.split(args.runner) if args.runner else None
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    finally:
        if _launcher_dir is not None:
            _launcher_dir.cleanup()
    sys.exit(not program.result.wasSuccessful())


if __name__ == "__main__":
    main()
