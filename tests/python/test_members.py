#!/usr/bin/env python3
"""ktl extract, remove, insert --replace and list --long, judged from the outside by zipfile,
zlib, `unzip -t` and a package checksum of our own.

    python3 tests/python/test_members.py --ktl PATH_TO_KTL [--runner wine] [unittest args ...]
"""

import io
import os
import struct
import unittest
import zipfile
import zlib

import test_ktl
from test_ktl import (CENTRAL_SIGNATURE, EXIT_DECLINED, EXIT_DUPLICATE, EXIT_FAILED, EXIT_OK,
                      EXIT_OUTPUT, SAMPLE_MEMBERS, KtlTestCase, cut_archive, find_end_record,
                      flip_byte, mtp, parse_central_directory, parse_end_record, read_members,
                      to_tool_path)
from malformed_packages import CASES, Archive, Refused, package

EXIT_NO_MEMBER = 5
OVERLAY = mtp.image_end(mtp.DEFAULT_SECTIONS)
COMMENT = b"Zor install package 1.0"


def local_records(data):
    """Each member's local record, by name: from its local header to the next one above it,
    or to the central directory."""
    end = parse_end_record(data, find_end_record(data, OVERLAY))
    entries = parse_central_directory(data, OVERLAY + end["cd_offset"], end["entries"])
    offsets = sorted(entry["offset"] for entry in entries) + [end["cd_offset"]]
    records = {}
    for entry in entries:
        stop = offsets[offsets.index(entry["offset"]) + 1]
        records[entry["name"]] = data[OVERLAY + entry["offset"]:OVERLAY + stop]
    return records


class MembersTestCase(KtlTestCase):
    def run_ok(self, *args):
        result = self.ktl(*args)
        self.assertEqual(result.returncode, EXIT_OK, result)
        return result

    def assertRefused(self, result, code, *names):
        """Exit `code`, one line on standard error naming every one of `names`."""
        self.assertEqual(result.returncode, code, result)
        self.assertEqual(len(result.err_lines), 1, result)
        for name in names:
            self.assertIn(name, result.err_lines[0])

    def assertSound(self, data):
        """Sealed, the image unchanged, every member read back by zipfile and unzip."""
        self.assertSealed(data)
        self.assertEqual(data[:OVERLAY], mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            self.assertIsNone(archive.testzip())
        self.assertUnzipAccepts(cut_archive(data, OVERLAY))
        result = self.ktl("verify", to_tool_path(self.write("verified.exe", data)))
        os.remove(self.path("verified.exe"))
        self.assertEqual(result.returncode, EXIT_OK, result)


# --------------------------------------------------------------------------------------------

class RemoveTests(MembersTestCase):
    def assertRemoved(self, before, after, gone):
        self.assertSound(after)
        kept = [(info.orig_filename, data) for info, data in read_members(before)
                if info.orig_filename != gone]
        self.assertEqual([(info.orig_filename, data) for info, data in read_members(after)], kept)
        old = local_records(before)
        del old[gone.encode("ascii")]
        self.assertEqual(local_records(after), old, "a kept local record changed")
        with zipfile.ZipFile(io.BytesIO(after)) as archive:
            self.assertEqual(archive.comment, COMMENT)

    def test_in_place_and_to_a_new_file(self):
        path, before = self.make_package(comment=COMMENT)
        result = self.run_ok("remove", to_tool_path(path), "zor\\README.TXT",
                             "-o", to_tool_path(self.path("out.exe")))
        self.assertFileUnchanged(path, before)
        self.assertRemoved(before, self.read("out.exe"), "Zor/readme.txt")
        self.assertEqual(len(result.out_lines), 1, result)
        self.run_ok("remove", to_tool_path(path), "Zor/bin/zor.dll")
        self.assertRemoved(before, self.read("pkg.exe"), "Zor/bin/zor.dll")
        self.assertEqual(self.work_listing(), ["out.exe", "pkg.exe"])

    def test_last_member_leaves_an_empty_archive(self):
        path, _ = self.make_package(members=[("only.txt", b"alone", zipfile.ZIP_DEFLATED)])
        self.run_ok("remove", to_tool_path(path), "only.txt")
        after = self.read("pkg.exe")
        self.assertSound(after)
        self.assertEqual(read_members(after), [])

    def test_remove_then_insert_again_then_verify(self):
        path, before = self.make_package()
        name = "InstallScript/auto1.ins"
        data = b"[Setup]\r\nSilence=1\r\n" * 30
        source = self.write("auto1.ins", data)
        self.run_ok("remove", to_tool_path(path), name)
        self.run_ok("insert", to_tool_path(path), to_tool_path(source), "-n", name)
        self.run_ok("verify", to_tool_path(path))
        after = self.read("pkg.exe")
        self.assertSound(after)
        names = [info.orig_filename for info, _ in read_members(after)]
        self.assertEqual(names, [m[0] for m in SAMPLE_MEMBERS if m[0] != name] + [name])
        with zipfile.ZipFile(io.BytesIO(after)) as archive:
            self.assertEqual(archive.read(name), data)

    def test_no_such_member_exits_5(self):
        path, before = self.make_package()
        for args in (["remove", to_tool_path(path), "Zor/missing.txt"],
                     ["remove", to_tool_path(path), "Zor/bin", "-o", to_tool_path(self.path("o"))],
                     ["extract", to_tool_path(path), "Zor/missing.txt",
                      "-o", to_tool_path(self.path("o"))]):
            with self.subTest(args=args):
                result = self.ktl(*args)
                self.assertRefused(result, EXIT_NO_MEMBER, args[2], "pkg.exe")
                self.assertFileUnchanged(path, before)
                self.assertEqual(self.work_listing(), ["pkg.exe"])

    def test_damaged_package_is_declined_first(self):
        damaged = flip_byte(mtp.build_package(SAMPLE_MEMBERS), 0x500)
        path = self.write("pkg.exe", damaged)
        out = to_tool_path(self.path("out.exe"))
        for args in (["Zor/readme.txt"], ["Zor/readme.txt", "--no", "-o", out],
                     ["Zor/missing.txt"]):
            result = self.ktl("remove", to_tool_path(path), *args)
            self.assertRefused(result, EXIT_DECLINED, "pkg.exe")
            self.assertFileUnchanged(path, damaged)
            self.assertEqual(self.work_listing(), ["pkg.exe"])
        self.run_ok("remove", to_tool_path(path), "Zor/readme.txt", "--yes")
        self.assertEqual(mtp.package_checksum(self.read("pkg.exe")), 0)

    def test_hostile_directories_are_refused_unchanged(self):
        def shared_record():
            archive = Archive()
            archive.entry(2, "offset", archive.entry(1, "offset"))
            return package(archive)

        cases = [(name, build) for name, build, expected in CASES
                 if name.startswith(("dir.", "entry.", "end.missing"))
                 and isinstance(expected, Refused)]
        cases.append(("entry.shared_local_record", shared_record))
        self.assertGreater(len(cases), 20)
        for name, build in cases:
            with self.subTest(case=name):
                data = build().package
                path = self.write("pkg.exe", data)
                for output in (["-o", to_tool_path(self.path("out.exe"))], []):
                    result = self.ktl("remove", to_tool_path(path), "Zor/readme.txt", *output)
                    self.assertRefused(result, EXIT_FAILED, "pkg.exe")
                    self.assertFileUnchanged(path, data)
                    self.assertEqual(self.work_listing(), ["pkg.exe"])


class ReplaceTests(MembersTestCase):
    DATA = b"[Setup]\r\nreplaced=1\r\n" * 40

    def test_replace_leaves_one_member_of_that_name(self):
        members = SAMPLE_MEMBERS + [("installscript\\AUTO1.INS", b"same name again", 8)]
        path, before = self.make_package(members=members)
        source = self.write("auto1.ins", self.DATA)
        name = "InstallScript\\auto1.ins"
        args = ["insert", to_tool_path(path), to_tool_path(source), "-n", name]
        self.assertRefused(self.ktl(*args), EXIT_DUPLICATE, "pkg.exe")
        self.assertFileUnchanged(path, before)
        self.run_ok(*args, "--replace")
        after = self.read("pkg.exe")
        self.assertSound(after)
        same = [(info, data) for info, data in read_members(after)
                if info.orig_filename.replace("\\", "/").lower() == "installscript/auto1.ins"]
        self.assertEqual(len(same), 1)
        self.assertEqual(same[0][0].orig_filename, name)
        self.assertEqual(same[0][1], self.DATA)
        old = local_records(before)
        del old[b"InstallScript/auto1.ins"], old[b"installscript\\AUTO1.INS"]
        new = local_records(after)
        del new[name.encode("ascii")]
        self.assertEqual(new, old)

    def test_replace_without_such_member_is_a_plain_insert(self):
        path, before = self.make_package()
        source = self.write("notes.txt", self.DATA)
        plain = self.path("plain.exe")
        self.run_ok("insert", to_tool_path(path), to_tool_path(source), "-o", to_tool_path(plain))
        self.run_ok("insert", to_tool_path(path), to_tool_path(source), "--replace")
        self.assertEqual(self.read("pkg.exe"), self.read("plain.exe"))
        self.assertInserted(before, self.read("pkg.exe"), self.DATA, b"notes.txt")


class ExtractTests(MembersTestCase):
    def test_stored_and_deflated_members_to_a_file_and_to_standard_output(self):
        path, before = self.make_package()
        with zipfile.ZipFile(io.BytesIO(before)) as archive:
            for info in archive.infolist():
                if info.is_dir():
                    continue
                with self.subTest(member=info.filename):
                    out = self.path("member.out")
                    self.run_ok("extract", to_tool_path(path), info.filename.upper(),
                                "-o", to_tool_path(out))
                    self.assertEqual(self.read("member.out"), archive.read(info))
                    os.remove(out)
                    result = self.run_ok("extract", to_tool_path(path), info.filename)
                    self.assertEqual(result.stdout, archive.read(info))
        self.assertFileUnchanged(path, before)
        self.assertEqual(self.work_listing(), ["pkg.exe"])

    def test_crc_mismatch_leaves_nothing(self):
        unsealed = mtp.build_package(SAMPLE_MEMBERS, seal=False)
        with zipfile.ZipFile(io.BytesIO(unsealed)) as archive:
            info = archive.getinfo("Zor/bin/zor.cfg")  # stored
        data_at = info.header_offset + 30 + len(info.filename)
        damaged = mtp.seal(flip_byte(unsealed, data_at + 3))
        path = self.write("pkg.exe", damaged)
        result = self.ktl("extract", to_tool_path(path), "Zor/bin/zor.cfg",
                          "-o", to_tool_path(self.path("zor.cfg")))
        self.assertRefused(result, EXIT_FAILED, "Zor/bin/zor.cfg", "CRC")
        self.assertEqual(self.work_listing(), ["pkg.exe"])

    def test_directory_other_methods_and_the_package_as_output_are_refused(self):
        members = SAMPLE_MEMBERS + [("Zor/other.bin", b"x" * 100, zipfile.ZIP_STORED)]
        unsealed = bytearray(mtp.build_package(members, seal=False))
        # Method 12 (bzip2) in the local header and the central entry.
        with zipfile.ZipFile(io.BytesIO(bytes(unsealed))) as archive:
            info = archive.getinfo("Zor/other.bin")
        struct.pack_into("<H", unsealed, info.header_offset + 8, 12)
        central = unsealed.rfind(CENTRAL_SIGNATURE + b"\x14")
        self.assertTrue(unsealed[central + 46:].startswith(b"Zor/other.bin"))
        struct.pack_into("<H", unsealed, central + 10, 12)
        sealed = mtp.seal(unsealed)
        path = self.write("pkg.exe", sealed)
        out = to_tool_path(self.path("out"))
        for member, output, code, says in (
                ("Zor/bin/", out, EXIT_FAILED, "directory"),
                ("zor/OTHER.BIN", out, EXIT_FAILED, "method 12"),
                ("Zor/readme.txt", to_tool_path(path), EXIT_OUTPUT, "pkg.exe")):
            result = self.ktl("extract", to_tool_path(path), member, "-o", output)
            self.assertRefused(result, code, member, says)
            self.assertFileUnchanged(path, sealed)
            self.assertEqual(self.work_listing(), ["pkg.exe"])


class ListLongTests(MembersTestCase):
    def test_matches_zipfile(self):
        members = SAMPLE_MEMBERS + [("Zor/with space.txt", b"spaced", 8)]
        path, data = self.make_package(members=members)
        result = self.run_ok("list", to_tool_path(path), "--long")
        labels = {zipfile.ZIP_STORED: "stored", zipfile.ZIP_DEFLATED: "deflated"}
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            expected = ["%s %d %d %08x %s" % (labels[info.compress_type], info.compress_size,
                                              info.file_size, info.CRC, info.orig_filename)
                        for info in archive.infolist()]
            for info, line in zip(archive.infolist(), result.out_lines):
                self.assertEqual(line[40:], info.orig_filename)
                if not info.is_dir():
                    self.assertEqual(int(line.split()[3], 16), zlib.crc32(archive.read(info)))
        self.assertEqual([" ".join(line[:40].split()) + " " + line[40:]
                          for line in result.out_lines], expected)


# --------------------------------------------------------------------------------------------

if __name__ == "__main__":
    test_ktl.main()  # runs the tests of this module, __main__
