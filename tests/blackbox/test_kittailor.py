#!/usr/bin/env python3
"""KitTailor.exe driven from outside, in each of its three languages, by drive_kittailor.exe:
the dialog is filled in and the insert button pressed through window messages, and the
package it writes is judged by Python's zipfile and the package checksum of
tools/make_test_package.py.

    python3 tests/blackbox/test_kittailor.py --driver DRIVE_KITTAILOR.exe --app KitTailor.exe
        [--shots DIR] [--runner wine] [unittest args ...]

Off Windows the two programs run under the runner (wine unless told otherwise), in whatever
prefix and display the environment names; the paths handed to them are then Windows paths on
drive Z:. LANG is set per case, which makes Wine pick the user interface language and the ANSI
code page of each program it starts; LC_CTYPE alone sets the code page, so one case shows
Chinese texts on an English code page. With --shots, screenshots of the X display
(ImageMagick's import) are written there while the dialog, the About box and the result box
are open. Under Wine one case sets the prefix's DPI to 144 for a while and puts it back.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_test_package as mtp  # noqa: E402

DRIVER = None   # drive_kittailor.exe, from --driver
APP = None      # KitTailor.exe, from --app
SHOTS = None    # screenshot folder, from --shots, or None
RUNNER = []     # command list that starts a Windows program (["wine"] off Windows)

# How long one driver run may take in all before it is killed; the driver's own waits time
# out well before this.
RUN_LIMIT_SECONDS = 180

# Each case: LANG value, the resource LANGUAGE line; the key names the screenshots.
LANGUAGES = {
    "en": ("en_US.UTF-8", "LANG_ENGLISH, SUBLANG_ENGLISH_US"),
    "zh_CN": ("zh_CN.UTF-8", "LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED"),
    "zh_TW": ("zh_TW.UTF-8", "LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL"),
    "zh_HK": ("zh_HK.UTF-8", "LANG_CHINESE, SUBLANG_CHINESE_HONGKONG"),
}

# Chinese Simplified texts on a system whose ANSI code page is English (1252).
CHINESE_ON_ENGLISH_CODE_PAGE = {"LANG": "zh_CN.UTF-8", "LC_CTYPE": "en_US.UTF-8"}

IDS_INSERT_SUCCESS = 106
IDS_INSERT_FAILED = 112
IDS_APP_TITLE = 57344
IDS_SAME_NAME_EXISTS = 57345
IDS_SIGNED_PACKAGE_CONTINUE = 125

SCRIPT = b"[Setup]\r\ninstallpath=C:\\Program Files\\Zor\r\ntype=1\r\nSilence=1\r\n"


# --------------------------------------------------------------------------------------------
# The texts the program should show, read from its resource script
# --------------------------------------------------------------------------------------------

_STRING = r'"((?:[^"\\]|""|\\.)*)"'
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "a": "\a", "\\": "\\", '"': '"'}


def rc_string(body):
    """The text of a resource-script (or C) string literal's body: "" and the backslash
    escapes decoded."""
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c == '"' and body[i + 1:i + 2] == '"':
            out.append('"')
            i += 2
        elif c == "\\":
            e = body[i + 1]
            if e in _ESCAPES:
                out.append(_ESCAPES[e])
                i += 2
            elif e == "x":
                digits = re.match(r"[0-9A-Fa-f]{1,2}", body[i + 2:]).group(0)
                value = int(digits, 16)
                if value > 0x7F:
                    raise ValueError("non-ASCII \\x escape in %r" % body)
                out.append(chr(value))
                i += 2 + len(digits)
            else:
                raise ValueError("unknown escape \\%s in %r" % (e, body))
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def load_resource_texts():
    """{language key: {"strings": {id: text}, "captions": {dialog name: caption}}}."""
    numbers = {name: int(value) for name, value in
               re.findall(r"^#define\s+(IDS_\w+)\s+(\d+)", _read("res", "message_ids.h"), re.M)}
    english = {numbers[name]: rc_string(body) for name, body in
               re.findall(r"^KTL_MESSAGE\((IDS_\w+),\s*" + _STRING + r"\)\s*$",
                          _read("res", "messages_en.inc"), re.M)}
    # A language's dialogs and table may live in a file of their own that its block includes.
    script = re.sub(r'^#include "(\w+\.inc)"\s*$',
                    lambda m: m.group(0) if m.group(1) == "messages_en.inc"
                    else _read("res", m.group(1)), _read("res", "kittailor.rc"), flags=re.M)
    sections = re.split(r"^LANGUAGE\s+(.+?)\s*$", script, flags=re.M)
    by_language_line = dict(zip(sections[1::2], sections[2::2]))
    texts = {}
    for key, (_, language_line) in LANGUAGES.items():
        section = by_language_line[language_line]
        strings = {}
        for table in re.findall(r"^STRINGTABLE\s*\nBEGIN\n(.*?)^END", section, re.M | re.S):
            if '#include "messages_en.inc"' in table:
                strings.update(english)
            for name, body in re.findall(r"^\s*(IDS_\w+),\s*" + _STRING + r"\s*$", table, re.M):
                strings[numbers[name]] = rc_string(body)
        captions = {}
        dialog = None
        for line in section.splitlines():
            match = re.match(r"^(\w+)\s+DIALOGEX\b", line)
            if match:
                dialog = match.group(1)
            match = re.match(r"^CAPTION\s+" + _STRING + r"\s*$", line)
            if match and dialog is not None:
                captions[dialog] = rc_string(match.group(1))
        texts[key] = {"strings": strings, "captions": captions}
    return texts


TEXTS = load_resource_texts()


# --------------------------------------------------------------------------------------------
# Running the driver
# --------------------------------------------------------------------------------------------

def windows_path(path):
    """The path as the Windows programs see it: as is on Windows, on drive Z: under Wine."""
    path = os.path.abspath(path)
    if not RUNNER:
        return path
    return "Z:" + path.replace("/", "\\")


def escaped(text):
    """A text as the drivers write it on their output lines."""
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")


def take_screenshot(name):
    if SHOTS is None or shutil.which("import") is None:
        return
    os.makedirs(SHOTS, exist_ok=True)
    subprocess.run(["import", "-window", "root", os.path.join(SHOTS, name)],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=False)


class DriverRun:
    def __init__(self, returncode, lines, stderr):
        self.returncode = returncode
        self.lines = lines
        self.stderr = stderr

    def values(self, kind):
        """The lines of one kind ("BOX", "ABOUT", "EXIT") without the kind word."""
        return [line[len(kind) + 1:] for line in self.lines if line.startswith(kind + " ")]

    def __repr__(self):
        return "driver exit %s\n  %s\nstderr: %s" % (
            self.returncode, "\n  ".join(self.lines), self.stderr[-2000:])


def run_driver(lang, folder, arguments, shots):
    """Runs the driver with LANG=lang (or these locale variables) in folder; shots maps pause
    names to screenshot files. Every pause asked for is answered, after its screenshot when
    there is one."""
    command = RUNNER + [DRIVER, "--app", windows_path(APP), "--dir", windows_path(folder),
                        "--timeout", "30"] + arguments
    for pause in shots:
        command += ["--pause-at", pause]
    def on_pause(name):
        if shots.get(name):
            take_screenshot(shots[name])

    return talk_to_driver(command, lang, folder, on_pause)


def talk_to_driver(command, lang, folder, on_pause):
    """Runs a driver command with LANG=lang (or, given a dict, these locale variables) in
    folder, calls on_pause(name) at each pause and then lets the driver go on. Reading stops at
    the driver's last line: a Wine helper process may hold the pipe open long after the driver
    has gone."""
    env = dict(os.environ)
    for variable in ("LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANGUAGE"):
        env.pop(variable, None)
    env.update(lang if isinstance(lang, dict) else {"LANG": lang})
    lines = []
    with tempfile.TemporaryFile() as errors:
        with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=errors, env=env, cwd=folder) as process:
            watchdog = threading.Timer(RUN_LIMIT_SECONDS, process.kill)
            watchdog.start()
            try:
                for raw in process.stdout:
                    line = raw.decode("utf-8", "replace").rstrip("\r\n")
                    lines.append(line)
                    if line.startswith("PAUSE "):
                        on_pause(line[len("PAUSE "):])
                        process.stdin.write(b"\n")
                        process.stdin.flush()
                    if line.startswith("EXIT ") or line.startswith("FAIL "):
                        break
                returncode = process.wait(timeout=RUN_LIMIT_SECONDS)
            finally:
                watchdog.cancel()
                if process.poll() is None:
                    process.kill()
                    process.wait()
        errors.seek(0)
        stderr = errors.read().decode("utf-8", "replace")
    return DriverRun(returncode, lines, stderr)


# --------------------------------------------------------------------------------------------
# Tests
# --------------------------------------------------------------------------------------------

class KitTailorBlackBox(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kittailor-bb-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.members = mtp.sample_members()
        self.package = mtp.build_package(self.members)
        self.package_path = os.path.join(self.folder, "ZorSetup.exe")
        with open(self.package_path, "wb") as f:
            f.write(self.package)
        self.script_path = os.path.join(self.folder, "auto1.ins")
        with open(self.script_path, "wb") as f:
            f.write(SCRIPT)

    def texts(self, key):
        return TEXTS[key]["strings"], TEXTS[key]["captions"]

    def drive(self, key, output_name, extra, shots, lang=None, fields=True):
        strings, captions = self.texts(key)
        arguments = ["--caption", captions["IDD_MAIN"]]
        if fields:
            arguments += ["--package", windows_path(self.package_path),
                          "--file", windows_path(self.script_path),
                          "--output", windows_path(os.path.join(self.folder, output_name))]
        arguments += ["--insert"] + extra
        run = run_driver(lang or LANGUAGES[key][0], self.folder, arguments, shots)
        self.assertEqual(run.returncode, 0, run)
        self.assertFalse([line for line in run.lines if line.startswith("FAIL")], run)
        self.assertIn("DIALOG", run.lines, run)
        self.assertEqual(run.values("EXIT"), ["code=0"], run)
        return run

    def box(self, key, number):
        strings, _ = self.texts(key)
        return "caption=%s text=%s" % (strings[IDS_APP_TITLE], strings[number])

    def assert_package_unchanged(self):
        with open(self.package_path, "rb") as f:
            self.assertEqual(f.read(), self.package, "the source package was changed")

    def assert_sealed_with_script(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % 4, 0, "package length %d" % len(data))
        self.assertEqual(mtp.package_checksum(data), 0, "package checksum not zero")
        image_size = mtp.image_end(mtp.DEFAULT_SECTIONS)
        self.assertEqual(data[:image_size], self.package[:image_size],
                         "the image in front of the archive was changed")
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())
            names = archive.namelist()
            self.assertEqual(names.count("auto1.ins"), 1, names)
            self.assertEqual(archive.read("auto1.ins"), SCRIPT)
            for name, content, _ in self.members:
                self.assertIn(name, names)
                if not name.endswith("/"):
                    self.assertEqual(archive.read(name), content, name)
            self.assertEqual(len(names), len(self.members) + 1, names)

    def check_insert(self, key, output_name, expected_output):
        shots = {"ready": "main_%s.png" % key, "about": "about_%s.png" % key,
                 "result": "result_%s.png" % key}
        run = self.drive(key, output_name, ["--about", "--layout"], shots)
        _, captions = self.texts(key)
        self.assertEqual(run.values("LAYOUT"), ["ok"], run)
        self.assertEqual(run.values("ABOUT"), ["caption=" + captions["IDD_ABOUT"]], run)
        self.assertEqual(run.values("BOX"), [self.box(key, IDS_INSERT_SUCCESS)], run)
        self.assert_package_unchanged()
        self.assert_sealed_with_script(os.path.join(self.folder, expected_output))

    def test_insert_en(self):
        # A new package name without ".exe" gets it added.
        self.check_insert("en", "ZorSetup-custom", "ZorSetup-custom.exe")

    def test_insert_zh_CN(self):
        self.check_insert("zh_CN", "ZorSetup-custom.exe", "ZorSetup-custom.exe")

    def test_insert_zh_HK(self):
        self.check_insert("zh_HK", "ZorSetup-custom.exe", "ZorSetup-custom.exe")

    def test_insert_zh_TW(self):
        # Taiwan reads the Traditional texts, not the English ones.
        self.check_insert("zh_TW", "ZorSetup-custom.exe", "ZorSetup-custom.exe")

    def test_dropped_files_fill_the_fields_en(self):
        # KitTailor starts with the package in its folder filled in; the script is dropped on
        # the dialog's background, two files on the new package field (the first counts).
        output = windows_path(os.path.join(self.folder, "dropped.exe"))
        other = windows_path(os.path.join(self.folder, "other.exe"))
        script = windows_path(self.script_path)
        run = self.drive("en", None, ["--drop", "0:" + script,
                                      "--drop", "1008:%s|%s" % (output, other)],
                         {"ready": "dropped_en.png"}, fields=False)
        package = escaped(windows_path(self.package_path))
        script, output = escaped(script), escaped(output)
        self.assertEqual(run.values("FIELDS"), [
            "package=%s script=%s output=" % (package, script),
            "package=%s script=%s output=%s" % (package, script, output)], run)
        self.assertEqual(run.values("BOX"), [self.box("en", IDS_INSERT_SUCCESS)], run)
        self.assert_sealed_with_script(os.path.join(self.folder, "dropped.exe"))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "other.exe")))

    def test_chinese_texts_on_an_english_code_page(self):
        # The display language is Chinese, the ANSI code page English: the dialog, the About
        # box and both message boxes still read in Chinese.
        self.members.append(("auto1.ins", b"older script\r\n", zipfile.ZIP_DEFLATED))
        self.package = mtp.build_package(self.members)
        with open(self.package_path, "wb") as f:
            f.write(self.package)
        run = self.drive("zh_CN", "ZorSetup-custom.exe", ["--boxes", "2", "--about"],
                         {"ready": "main_zh_CN_cp1252.png", "box1": "box_zh_CN_cp1252.png"},
                         lang=CHINESE_ON_ENGLISH_CODE_PAGE)
        _, captions = self.texts("zh_CN")
        self.assertEqual(run.values("ABOUT"), ["caption=" + captions["IDD_ABOUT"]], run)
        self.assertEqual(run.values("BOX"), [self.box("zh_CN", IDS_SAME_NAME_EXISTS),
                                             self.box("zh_CN", IDS_INSERT_FAILED)], run)

    @unittest.skipUnless(os.name != "nt", "sets the DPI of a Wine prefix, not of this computer")
    def test_nothing_clips_at_144_dpi(self):
        with prefix_dpi(144):
            for key in ("en", "zh_CN"):
                with self.subTest(language=key):
                    run = self.drive(key, "ZorSetup-%s.exe" % key, ["--layout"],
                                     {"ready": "main_%s_144dpi.png" % key})
                    # Wine lays out even a program that does not declare itself DPI-aware at
                    # the full setting, where Windows would stretch it: the declaration is for
                    # the resource tests to check, the layout at this size for this one.
                    self.assertEqual(run.values("DPI"), ["144"], run)
                    self.assertEqual(run.values("LAYOUT"), ["ok"], run)
                    self.assertEqual(run.values("BOX"), [self.box(key, IDS_INSERT_SUCCESS)], run)

    def test_same_name_refused_zh_CN(self):
        # The package already holds auto1.ins: the refusal, then the failure, both in Chinese.
        self.members.append(("auto1.ins", b"older script\r\n", zipfile.ZIP_DEFLATED))
        self.package = mtp.build_package(self.members)
        with open(self.package_path, "wb") as f:
            f.write(self.package)
        run = self.drive("zh_CN", "ZorSetup-custom.exe", ["--boxes", "2"],
                         {"result": "failed_zh_CN.png"})
        self.assertEqual(run.values("BOX"), [self.box("zh_CN", IDS_SAME_NAME_EXISTS),
                                             self.box("zh_CN", IDS_INSERT_FAILED)], run)
        self.assert_package_unchanged()


    @unittest.skipUnless(shutil.which("osslsigncode") and shutil.which("openssl"),
                         "needs osslsigncode and openssl to sign a package")
    def test_signed_package_asked_once_zh_HK(self):
        # Signed after sealing, the package also fails its checksum; declining the signature
        # question must end the insert there, before the damaged-package question.
        unsigned = os.path.join(self.folder, "unsigned.exe")
        os.replace(self.package_path, unsigned)
        sign_with_throwaway_certificate(unsigned, self.package_path, self.folder)
        with open(self.package_path, "rb") as f:
            self.package = f.read()
        run = self.drive("zh_HK", "ZorSetup-custom.exe", ["--boxes", "2"],
                         {"box1": "signed_zh_HK.png"})
        self.assertEqual(run.values("BOX"), [self.box("zh_HK", IDS_SIGNED_PACKAGE_CONTINUE),
                                             self.box("zh_HK", IDS_INSERT_FAILED)], run)
        self.assert_package_unchanged()


def sign_with_throwaway_certificate(source, signed, folder):
    """Signs the image at source into signed (Authenticode) with a self-made certificate."""
    key, certificate = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", certificate, "-days", "2", "-subj", "/CN=KitTailor test"],
                   check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", source,
                    "-out", signed], check=True, capture_output=True)


DESKTOP_KEY = r"HKCU\Control Panel\Desktop"


class prefix_dpi:
    """The Wine prefix's DPI setting (LogPixels), for the programs started meanwhile; the old
    setting comes back afterwards, whatever happened."""

    def __init__(self, dpi):
        self.dpi = dpi
        self.before = None

    def reg(self, *arguments):
        return subprocess.run(RUNNER + ["reg"] + list(arguments), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60, check=False)

    def __enter__(self):
        found = re.search(r"LogPixels\s+REG_DWORD\s+0x([0-9a-fA-F]+)",
                          self.reg("query", DESKTOP_KEY, "/v", "LogPixels").stdout)
        self.before = int(found.group(1), 16) if found else None
        result = self.reg("add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                          str(self.dpi), "/f")
        if result.returncode != 0:
            raise RuntimeError("cannot set the DPI: %s" % result.stderr)
        return self

    def __exit__(self, *exception):
        if self.before is None:
            self.reg("delete", DESKTOP_KEY, "/v", "LogPixels", "/f")
        else:
            self.reg("add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                     str(self.before), "/f")
        return False


def runner_from(option):
    """The command that starts Windows programs: as given, else Wine off Windows."""
    if option is not None:
        return shlex.split(option)
    return ["wine"] if os.name != "nt" else []


def main():
    global DRIVER, APP, SHOTS, RUNNER
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--driver", required=True, help="drive_kittailor.exe")
    parser.add_argument("--app", required=True, help="KitTailor.exe")
    parser.add_argument("--shots", help="folder for the screenshots")
    parser.add_argument("--runner", help="command that runs Windows programs (default: wine "
                                         "off Windows)")
    args, rest = parser.parse_known_args()
    DRIVER = os.path.abspath(args.driver)
    APP = os.path.abspath(args.app)
    SHOTS = os.path.abspath(args.shots) if args.shots else None
    RUNNER = runner_from(args.runner)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    sys.exit(not program.result.wasSuccessful())


if __name__ == "__main__":
    main()
