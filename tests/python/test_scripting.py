#!/usr/bin/env python3
"""ktl as scripts use it: --json read back by Python's json, sums by hashlib, members by zipfile,
ktl info, --dry-run and the usage text.

    python3 tests/python/test_scripting.py --ktl PATH_TO_KTL [--runner wine] [unittest args ...]
"""

import hashlib
import io
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile
import zlib

import test_ktl
from test_ktl import (EXIT_DECLINED, EXIT_DUPLICATE, EXIT_FAILED, EXIT_OK, EXIT_OUTPUT,
                      EXIT_USAGE, SAMPLE_MEMBERS, KtlTestCase, find_end_record, flip_byte,
                      journal_for, mtp, parse_end_record, to_tool_path)

EXIT_NO_MEMBER = 5
OVERLAY = mtp.image_end(mtp.DEFAULT_SECTIONS)


def setUpModule():
    # Natively the ANSI code page is the locale's character set: UTF-8, so that a name in
    # another code page's bytes is no text there.
    if test_ktl.RUNNER is None:
        os.environ["LC_ALL"] = "C.UTF-8"


def package_with_names(replacements):
    """The sample package with members whose stored names zipfile would not write: each
    (placeholder, stored bytes) pair puts the bytes in the place of the placeholder's."""
    members = SAMPLE_MEMBERS + [(placeholder, b"named " + stored, 8)
                                for placeholder, stored in replacements]
    data = mtp.build_package(members, seal=False)
    for placeholder, stored in replacements:
        encoded = placeholder.encode("utf-8")
        assert len(encoded) == len(stored) and data.count(encoded) == 2, placeholder
        data = data.replace(encoded, stored)
    return mtp.seal(data)


def security_directory(data):
    """The certificate table's (offset, size), as the image's data directory 4 gives it."""
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    return struct.unpack_from("<II", data, optional + 96 + 4 * 8)


class ScriptingTestCase(KtlTestCase):
    def json_of(self, *args, status=EXIT_OK):
        """ktl's standard output as the one JSON object it must be, its status checked."""
        result = self.ktl(*args, "--json")
        self.assertTrue(result.stdout.isascii(), result)
        self.last_result = result
        report = json.loads(result.stdout.decode("ascii"))
        self.assertIsInstance(report, dict, result)
        self.assertEqual((result.returncode, report["status"]), (status, status), result)
        self.assertEqual(report["command"], args[0])
        self.assertEqual("error" in report, status != EXIT_OK, report)
        if status != EXIT_OK:
            self.assertTrue(report["error"].strip(), report)
        return report

    def sign(self, path, signed, extra=()):
        """Signs `path` into `signed` with osslsigncode and a certificate made here; returns the
        certificate's path, for a verification."""
        if shutil.which("osslsigncode") is None or shutil.which("openssl") is None:
            self.skipTest("needs osslsigncode and openssl")
        key, cert = self.path("key.pem"), self.path("cert.pem")
        if not os.path.exists(cert):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=ktl test"],
                           check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                        *extra, "-in", path, "-out", signed], check=True, capture_output=True)
        return cert

    def snapshot(self):
        """Every file of the work folder with its bytes."""
        return {name: self.read(name) for name in self.work_listing() if not name.endswith("/")}


class JsonTests(ScriptingTestCase):
    def assertMembersMatch(self, members, data):
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            expected = [dict(name=info.orig_filename, name_escaped=False,
                             method=info.compress_type, compressed_size=info.compress_size,
                             uncompressed_size=info.file_size, crc32=info.CRC,
                             directory=info.is_dir())
                        for info in archive.infolist()]
        self.assertEqual(members, expected)

    def test_every_command(self):
        path, before = self.make_package()
        pkg = to_tool_path(path)
        self.assertMembersMatch(self.json_of("list", pkg)["members"], before)
        verified = self.json_of("verify", pkg)
        self.assertEqual((verified["size"], verified["image_end"]), (len(before), OVERLAY))
        self.assertMembersMatch(verified["members"], before)
        self.assertEqual(self.json_of("info", pkg)["member_count"], len(SAMPLE_MEMBERS))

        data = b"[Setup]\r\nSilence=1\r\n" * 9
        source = to_tool_path(self.write("auto2.ins", data))
        out = self.path("out.exe")
        inserted = self.json_of("insert", pkg, source, "-o", to_tool_path(out))
        after = self.read("out.exe")
        self.assertEqual(inserted["sha256"], hashlib.sha256(after).hexdigest())
        self.assertEqual((inserted["size"], inserted["bytes_written"]), (len(after), len(after)))
        self.assertEqual((inserted["output"], inserted["in_place"], inserted["removed"]),
                         (to_tool_path(out), False, []))
        self.assertMembersMatch(self.json_of("list", to_tool_path(out))["members"], after)
        added = inserted["added"]
        self.assertEqual((added["name"], added["crc32"], added["uncompressed_size"]),
                         ("auto2.ins", zlib.crc32(data), len(data)))

        removed = self.json_of("remove", to_tool_path(out), "AUTO2.INS")
        self.assertEqual(removed["added"], None)
        self.assertEqual([member["name"] for member in removed["removed"]], ["auto2.ins"])
        self.assertEqual(removed["sha256"], hashlib.sha256(self.read("out.exe")).hexdigest())
        self.assertEqual(self.read("out.exe"), before)

        extracted = self.json_of("extract", pkg, "Zor/readme.txt",
                                 "-o", to_tool_path(self.path("readme.txt")))
        with zipfile.ZipFile(io.BytesIO(before)) as archive:
            expected = archive.read("Zor/readme.txt")
        self.assertEqual(self.read("readme.txt"), expected)
        self.assertEqual((extracted["sha256"], extracted["extracted"]["crc32"]),
                         (hashlib.sha256(expected).hexdigest(), zlib.crc32(expected)))

    def test_failures(self):
        path, before = self.make_package()
        pkg, missing = to_tool_path(path), to_tool_path(self.path("missing.exe"))
        source = to_tool_path(self.write("auto1.ins", b"again\r\n"))
        for args, status in (
                (["list", missing], EXIT_FAILED),
                (["verify", missing], EXIT_FAILED),
                (["info", missing], EXIT_FAILED),
                (["extract", missing, "a", "-o", to_tool_path(self.path("a"))], EXIT_FAILED),
                (["insert", pkg, source, "-n", "InstallScript/AUTO1.INS"], EXIT_DUPLICATE),
                (["remove", pkg, "Zor/missing.txt"], EXIT_NO_MEMBER),
                (["insert", pkg, source, "--bogus"], EXIT_USAGE),
                (["extract", pkg, "Zor/readme.txt"], EXIT_USAGE)):
            with self.subTest(args=args):
                self.json_of(*args, status=status)
                if status == EXIT_USAGE:
                    self.assertEqual(self.last_result.err_lines, [])
                self.assertFileUnchanged(path, before)
                self.assertEqual(self.work_listing(), ["auto1.ins", "pkg.exe"])
        self.assertIn("--bogus", self.json_of("insert", pkg, source, "--bogus",
                                              status=EXIT_USAGE)["error"])

    def test_names_outside_ascii(self):
        flagged_bad = b"Zor/\xff\xfe\xfd.txt"  # the UTF-8 flag set, yet no UTF-8
        code_page = b"Zor/caf\xe9.txt"         # no flag: the ANSI code page's bytes
        data = package_with_names([("Zor/\u00e9_.txt", flagged_bad), ("Zor/caf_.txt", code_page)])
        members = self.json_of("list", to_tool_path(self.write("pkg.exe", data)))["members"]
        bad, named = members[-2:]
        self.assertEqual((bad["name"].encode("latin-1"), bad["name_escaped"]), (flagged_bad, True))
        if test_ktl.RUNNER is None:
            self.assertIs(named["name_escaped"], True)
        # Windows' ANSI code page (1252 here) may well hold the byte.
        self.assertEqual(named["name"].encode("latin-1" if named["name_escaped"] else "cp1252"),
                         code_page)

        utf8 = "Zor/na\u00efve \u4e2d \U0001f4e6.txt"
        path, _ = self.make_package(members=SAMPLE_MEMBERS + [(utf8, b"utf-8", 8)])
        last = self.json_of("list", to_tool_path(path))["members"][-1]
        self.assertEqual((last["name"], last["name_escaped"]), (utf8, False))


class InfoTests(ScriptingTestCase):
    SCRIPTS = [("InstallScript/auto1.ins", b"[Setup]\r\nSilence=1\r\nDir=C:\\Zor\r\n", 8),
               ("InstallScript/AUTO2.INS", b"[Other]\r\nSilence=1\r\n[setup]\r\nSilence = 0\r\n", 0),
               ("Zor/auto.txt", b"no script", 8)]

    def test_scripts_and_their_silence(self):
        members = [m for m in SAMPLE_MEMBERS if not m[0].startswith("InstallScript")]
        path, data = self.make_package(members=members + self.SCRIPTS)
        report = self.json_of("info", to_tool_path(path))
        self.assertEqual([(s["name"], s["silent"], s["silence_value"]) for s in report["scripts"]],
                         [("InstallScript/auto1.ins", True, "1"),
                          ("InstallScript/AUTO2.INS", False, "0")])
        end = find_end_record(data, OVERLAY)
        self.assertEqual(
            (report["sealed"], report["image_end"], report["archive_start"], report["archive_end"],
             report["member_count"], report["signed"]),
            (True, OVERLAY, OVERLAY, end + 22 + parse_end_record(data, end)["comment_length"],
             len(members) + 3, False))
        self.assertEqual(len(report["warnings"]), 1)
        self.assertIn("one script only", report["warnings"][0])
        text = self.ktl("info", to_tool_path(path))
        self.assertEqual(text.returncode, EXIT_OK, text)
        for says in ("InstallScript/auto1.ins: silent (Silence=1)",
                     "InstallScript/AUTO2.INS: not silent (Silence=0)", "one script only"):
            self.assertTrue(any(says in line for line in text.out_lines), text)

        one, _ = self.make_package(name="one.exe")
        report = self.json_of("info", to_tool_path(one))
        self.assertEqual((len(report["scripts"]), report["warnings"]), (1, []))

    def test_signed_package(self):
        path, _ = self.make_package()
        self.sign(path, self.path("signed.exe"))
        signed = self.read("signed.exe")
        offset, size = security_directory(signed)
        self.assertEqual(offset + size, len(signed))
        report = self.json_of("info", to_tool_path(self.path("signed.exe")))
        self.assertEqual((report["signed"], report["sealed"]), (True, False))
        self.assertEqual({key: report["signature"][key] for key in
                          ("offset", "size", "digest_algorithm", "digest_matches", "intact",
                           "nested")}, dict(offset=offset, size=size, digest_algorithm="sha256",
                                            digest_matches=True, intact=True, nested=0))
        self.assertTrue(any("signature" in warning for warning in report["warnings"]), report)
        # Windows gives its own verdict on the whole signature; elsewhere there is none.
        self.assertEqual("trust" in report["signature"], test_ktl.RUNNER is not None, report)
        self.assertFalse(self.json_of("info", to_tool_path(path))["signed"])
        tampered = bytearray(signed)
        tampered[OVERLAY + 40] ^= 0x01
        self.write("tampered.exe", bytes(tampered))
        report = self.json_of("info", to_tool_path(self.path("tampered.exe")))
        self.assertEqual((report["signature"]["digest_matches"], report["signature"]["intact"]),
                         (False, False))
        verify = self.ktl("verify", to_tool_path(self.path("signed.exe")))
        self.assertEqual(verify.returncode, EXIT_FAILED, verify)
        self.assertIn("ktl seal", verify.err_lines[0])

        # An intact signature is no damage: no question; the change leaves a clean unsigned
        # package, sealed, its security entry zero, and no certificate table.
        source = to_tool_path(self.write("notes.txt", b"notes\r\n"))
        for package, warned in ((self.path("signed.exe"), True), (path, False)):
            result = self.ktl("insert", to_tool_path(package), source, "--no",
                              "-o", to_tool_path(self.path("out.exe")))
            self.assertEqual(result.returncode, EXIT_OK, result)
            self.assertEqual(any("signature" in line for line in result.err_lines), warned, result)
            out = self.read("out.exe")
            self.assertEqual(security_directory(out), (0, 0))
            self.assertEqual(mtp.package_checksum(out), 0)
            with zipfile.ZipFile(io.BytesIO(out)) as archive:
                self.assertIsNone(archive.testzip())
                self.assertIn("notes.txt", archive.namelist())
        verified = subprocess.run(["osslsigncode", "verify", "-in", self.path("out.exe")],
                                  capture_output=True, text=True)
        self.assertIn("No signature found", verified.stdout + verified.stderr)
        result = self.ktl("insert", to_tool_path(self.path("tampered.exe")), source, "--no")
        self.assertEqual(result.returncode, EXIT_DECLINED, result)


class SealTests(ScriptingTestCase):
    def word_sum(self, name):
        data = self.read(name)
        data += bytes(-len(data) % 4)
        return sum(struct.unpack("<%dI" % (len(data) // 4), data)) & 0xFFFFFFFF

    def test_a_signed_package_is_sealed_without_touching_a_signed_byte(self):
        path, _ = self.make_package()
        cert = self.sign(path, self.path("signed.exe"))
        signed = self.read("signed.exe")
        self.assertNotEqual(self.word_sum("signed.exe"), 0)
        report = self.json_of("seal", to_tool_path(self.path("signed.exe")), "-o",
                              to_tool_path(self.path("sealed.exe")))
        sealed = self.read("sealed.exe")
        self.assertEqual((report["changed"], report["in_place"], report["size"]),
                         (True, False, len(signed)))
        self.assertEqual(report["sha256"], hashlib.sha256(sealed).hexdigest())
        self.assertEqual(self.word_sum("sealed.exe"), 0)
        self.assertEqual(self.read("signed.exe"), signed)
        # Only the CheckSum field differs; the signature still holds.
        self.assertLessEqual(sum(a != b for a, b in zip(signed, sealed)), 4)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert,
                                   "-in", self.path("sealed.exe")], capture_output=True)
        self.assertIn(b"Signature verification: ok", verified.stdout, verified)
        # In place the same bytes; a second seal changes nothing.
        result = self.json_of("seal", to_tool_path(self.path("signed.exe")))
        self.assertEqual((result["changed"], self.read("signed.exe")), (True, sealed))
        self.assertFalse(os.path.exists(self.path("signed.exe.ktl-journal")))
        self.assertFalse(self.json_of("seal", to_tool_path(self.path("signed.exe")))["changed"])
        self.assertEqual(self.read("signed.exe"), sealed)

    def test_a_certificate_table_over_64_kib_hides_no_archive(self):
        path, _ = self.make_package()
        extra = self.path("extra.pem")
        with open(extra, "wb") as bundle:
            for i in range(130):
                made = subprocess.run(
                    ["openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout",
                     os.devnull, "-days", "1", "-subj", "/CN=extra %d" % i],
                    check=True, capture_output=True)
                bundle.write(made.stdout)
        self.sign(path, self.path("signed.exe"), extra=("-ac", extra))
        self.assertGreater(security_directory(self.read("signed.exe"))[1], 0x10000 + 22)
        listed = self.json_of("list", to_tool_path(self.path("signed.exe")))
        self.assertEqual(len(listed["members"]), len(zipfile.ZipFile(path).namelist()))
        self.assertTrue(self.json_of("seal", to_tool_path(self.path("signed.exe")))["changed"])
        self.assertEqual(self.word_sum("signed.exe"), 0)
        self.assertEqual(self.ktl("verify", to_tool_path(self.path("signed.exe"))).returncode,
                         EXIT_OK)

    def test_refusals_write_nothing(self):
        path, _ = self.make_package()
        self.sign(path, self.path("signed.exe"))
        tampered = bytearray(self.read("signed.exe"))
        tampered[OVERLAY + 40] ^= 0x01
        self.write("tampered.exe", bytes(tampered))
        unsigned = bytearray(self.read(os.path.basename(path)))
        unsigned[OVERLAY + 40] ^= 0x01
        self.write("damaged.exe", bytes(unsigned))
        for name, says in (("tampered.exe", "not intact"), ("damaged.exe", "not signed")):
            with self.subTest(name=name):
                before = self.snapshot()
                report = self.json_of("seal", to_tool_path(self.path(name)), status=EXIT_FAILED)
                self.assertIn(says, report["error"])
                report = self.json_of("seal", to_tool_path(self.path(name)), "-o",
                                      to_tool_path(self.path("out.exe")), status=EXIT_FAILED)
                self.assertEqual(self.snapshot(), before)


class DryRunTests(ScriptingTestCase):
    def test_writes_nothing_and_tells_the_real_sizes(self):
        out = to_tool_path(self.path("out.exe"))
        for change in (["insert", "SOURCE"], ["insert", "SOURCE", "-o", out],
                       ["insert", "SOURCE", "-n", "InstallScript/auto1.ins", "--replace"],
                       ["remove", "Zor/bin/zor.dll"], ["remove", "Zor/readme.txt", "-o", out]):
            with self.subTest(change=change):
                for name in self.work_listing():
                    os.remove(self.path(name))
                path, _ = self.make_package()
                source = to_tool_path(self.write("auto9.ins", b"[Setup]\r\nSilence=1\r\n" * 5))
                args = [change[0], to_tool_path(path)] + [source if word == "SOURCE" else word
                                                          for word in change[1:]]
                before = self.snapshot()
                dry = self.json_of(*args, "--dry-run")
                text = self.ktl(*args, "--dry-run")
                self.assertEqual(self.snapshot(), before)
                self.assertEqual((text.returncode, len(text.out_lines)), (EXIT_OK, 1), text)
                self.assertIn(str(dry["size"]), text.out_lines[0])
                real = self.json_of(*args)
                self.assertEqual((dry["dry_run"], dry["sha256"], real["dry_run"]),
                                 (True, None, False))
                for key in ("size", "bytes_written", "added", "removed", "output"):
                    self.assertEqual(dry[key], real[key], key)
                self.assertEqual(real["size"], os.path.getsize(self.path(
                    "out.exe" if "-o" in change else "pkg.exe")))

    def test_refusals_exit_as_the_real_run(self):
        path, sealed = self.make_package()
        damaged = self.write("damaged.exe", flip_byte(sealed, 0x500))
        source = to_tool_path(self.write("auto1.ins", b"again\r\n"))
        nowhere = to_tool_path(self.path("missing", "out.exe"))
        for args, status in (
                (["insert", to_tool_path(path), source, "-n", "installscript\\AUTO1.INS"],
                 EXIT_DUPLICATE),
                (["insert", to_tool_path(path), source, "-n", "x.ins", "-o", nowhere],
                 EXIT_OUTPUT),
                (["insert", to_tool_path(damaged), source, "-n", "x.ins"], EXIT_DECLINED),
                (["remove", to_tool_path(path), "Zor/missing.txt"], EXIT_NO_MEMBER)):
            with self.subTest(args=args):
                before = self.snapshot()
                self.assertEqual(self.json_of(*args, "--dry-run", status=status)["status"],
                                 self.ktl(*args).returncode)
                self.assertEqual(self.snapshot(), before)

    def test_a_journal_beside_the_package_is_left_alone(self):
        path, original = self.make_package()
        tail_at = len(original) - 120
        self.write("pkg.exe.ktl-journal", journal_for(original, tail_at))
        self.write("pkg.exe", original[:tail_at + 10] + b"\xee" * 700)
        source = to_tool_path(self.write("notes.txt", b"notes\r\n"))
        before = self.snapshot()
        report = self.json_of("insert", to_tool_path(path), source, "--dry-run",
                              status=EXIT_FAILED)
        self.assertIn("pkg.exe.ktl-journal", report["error"])
        self.assertEqual(self.snapshot(), before)
        self.json_of("insert", to_tool_path(path), source)
        self.assertFalse(os.path.exists(path + ".ktl-journal"))


class UsageTests(ScriptingTestCase):
    def test_help_lists_every_command_option_and_status(self):
        result = self.ktl("--help")
        self.assertEqual(result.returncode, EXIT_OK, result)
        words = result.stdout.decode("ascii").split()
        for word in ("insert", "remove", "extract", "list", "verify", "info", "record",
                     "[-o", "[-n", "[--yes", "--no]", "[--replace]", "[--dry-run]", "[--quiet]",
                     "[--json]", "[--long]", "[--silent", "--no-silent]", "--version"):
            self.assertIn(word, words)
        for status in list(range(10)) + [64]:
            self.assertRegex(result.stdout.decode("ascii"), r"[:;] %d [A-Za-z]" % status)

    def test_an_unknown_command_gets_one_line(self):
        for args, says in ((["lst", "x"], 'unknown command "lst": did you mean "list"?'),
                           (["sael", "x"], 'did you mean "seal"?'),
                           (["frobnicate"], "the commands are insert, remove, extract, list")):
            with self.subTest(args=args):
                result = self.ktl(*args)
                self.assertEqual((result.returncode, len(result.err_lines)), (EXIT_USAGE, 1),
                                 result)
                self.assertIn(says, result.err_lines[0])
        report = self.json_of("lst", "x", status=EXIT_USAGE)
        self.assertIn('did you mean "list"?', report["error"])

    def test_a_usage_error_names_the_option_at_fault(self):
        path, _ = self.make_package()
        pkg = to_tool_path(path)
        for args, says in ((["insert", pkg, pkg, "--silnt"], "unknown option --silnt for insert"),
                           (["insert", pkg, pkg, "-o"], "-o needs a file name"),
                           (["remove", pkg, "x", "--replace"], "unknown option --replace"),
                           (["info", pkg, pkg], "one too many")):
            with self.subTest(args=args):
                result = self.ktl(*args)
                self.assertEqual(result.returncode, EXIT_USAGE, result)
                self.assertIn(says, result.err_lines[0])


if __name__ == "__main__":
    test_ktl.main()  # runs the tests of this module, __main__
