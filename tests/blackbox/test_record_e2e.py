#!/usr/bin/env python3
"""A whole recording, end to end, through window messages only (record_e2e.exe): KitTailor.exe
runs the installer stand-in to record an install script, inserts the script into the package,
the new package installs silently, and KitTailor then refuses to record on the computer where
the product is installed.

    python3 tests/blackbox/test_record_e2e.py --driver RECORD_E2E.exe --app KitTailor.exe
        --setup ZorSetup.exe [--runner wine] [unittest args ...]

Off Windows the programs run under the runner (wine unless told otherwise) in whatever prefix
and display the environment names; drive C: is then $WINEPREFIX/drive_c, and the temporary
folder is seen on drive Z:. The test changes the product's registry key, the Windows
directory's Zor.ini and a folder on drive C:, and puts them back as they were before.
"""

import argparse
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import uuid
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, HERE)
import make_package  # noqa: E402
import make_test_package as mtp  # noqa: E402
from test_kittailor import (IDS_APP_TITLE, talk_to_driver, runner_from, IDS_INSERT_SUCCESS, TEXTS,  # noqa: E402
                            DriverRun, LANGUAGES, escaped)

DRIVER = None   # record_e2e.exe, from --driver
APP = None      # KitTailor.exe, from --app
SETUP = None    # the installer stand-in ZorSetup.exe, from --setup
KTL = None      # ktl.exe, from --ktl
RUNNER = []     # command list that starts a Windows program (["wine"] off Windows)

# How long one program run may take in all before it is killed; the driver's own waits time
# out well before this.
RUN_LIMIT_SECONDS = 180

IDS_RECORDING_FINISHED = 107
IDS_ALREADY_INSTALLED = 114
IDS_CANNOT_START_INSTALLER = 118

MAKER_KEY = r"HKLM\SOFTWARE\Tessel"
PRODUCT_KEY = MAKER_KEY + r"\Zor"
HAND_OVER_FILE = r"C:\windows\Zor.ini"
HAND_OVER_KEYS = ("autoscriptrec", "scriptfile")
RECORDING_CAPTION = "Zor Setup - Recording install script"


# --------------------------------------------------------------------------------------------
# Paths, the registry and profile files
# --------------------------------------------------------------------------------------------

def windows_path(path):
    """The path as the Windows programs see it: as is on Windows, on drive Z: under Wine."""
    path = os.path.abspath(path)
    if not RUNNER:
        return path
    return "Z:" + path.replace("/", "\\")


def drive_c_path(path):
    """Where a C:\\ path lies here: as is on Windows, under the prefix's drive_c under Wine."""
    if not RUNNER:
        return path
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    assert path[:3].upper() == "C:\\", path
    return os.path.join(prefix, "drive_c", *path[3:].split("\\"))


def run_program(command, limit=60):
    return subprocess.run(RUNNER + command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=limit, check=False)


def reg(*arguments):
    """reg.exe in the 32-bit view of the registry, the one the two programs use."""
    return run_program(["reg.exe"] + list(arguments) + ["/reg:32"])


def product_values():
    """{value name (lower case): (type, data)} of the product's key; None without the key."""
    result = reg("query", PRODUCT_KEY)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0].lower()] = (parts[1], parts[2] if len(parts) == 3 else "")
    return values


def delete_product_key():
    reg("delete", PRODUCT_KEY, "/f")
    if product_values() is not None:
        raise RuntimeError("cannot delete " + PRODUCT_KEY)


def _decode_profile(raw):
    """(text, encoding) of a profile file: UTF-16 with its byte order mark, or else bytes kept
    one for one."""
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return raw.decode("utf-16"), "utf-16"
    return raw.decode("latin-1"), "latin-1"


def read_profile(path):
    """{section (lower case): {key (lower case): value}} of a Windows profile (INI) file, read
    the way the profile functions read it: names without case, blanks around them dropped."""
    with open(path, "rb") as f:
        text, _ = _decode_profile(f.read())
    sections = {}
    current = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and "]" in line:
            current = sections.setdefault(line[1:line.index("]")].strip().lower(), {})
        elif current is not None and "=" in line:
            key, _, value = line.partition("=")
            current.setdefault(key.strip().lower(), value.strip())
    return sections


def hand_over_values():
    """The [Setup] section of Zor.ini ({} when there is none)."""
    path = drive_c_path(HAND_OVER_FILE)
    if not os.path.exists(path):
        return {}
    return read_profile(path).get("setup", {})


def remove_hand_over_keys():
    """Takes AutoScriptRec and ScriptFile out of Zor.ini's [Setup] section, leaving the rest."""
    path = drive_c_path(HAND_OVER_FILE)
    if not os.path.exists(path):
        return
    with open(path, "rb") as f:
        text, encoding = _decode_profile(f.read())
    kept = []
    section = None
    for line in text.splitlines(True):
        stripped = line.strip()
        if stripped.startswith("[") and "]" in stripped:
            section = stripped[1:stripped.index("]")].strip().lower()
        elif (section == "setup" and "=" in stripped and
              stripped.partition("=")[0].strip().lower() in HAND_OVER_KEYS):
            continue
        kept.append(line)
    with open(path, "wb") as f:
        f.write("".join(kept).encode(encoding))


def setup_logs():
    """The stand-in's logs in the temporary folders of the prefix's users."""
    if not RUNNER:
        return glob.glob(os.path.join(os.environ.get("TEMP", ""), "ZorSetup.log"))
    users = drive_c_path(r"C:\users")
    return (glob.glob(os.path.join(users, "*", "Temp", "ZorSetup.log")) +
            glob.glob(os.path.join(users, "*", "AppData", "Local", "Temp", "ZorSetup.log")))


# --------------------------------------------------------------------------------------------
# Signing a package as an organisation would
# --------------------------------------------------------------------------------------------

SIGNING_TOOLS = ("osslsigncode", "openssl")
EXTRA_CERTIFICATES = 60


def openssl(*arguments):
    """What openssl writes to standard output."""
    return subprocess.run(["openssl"] + list(arguments), stdin=subprocess.DEVNULL,
                          capture_output=True, check=True).stdout


def make_signing_certificates(folder):
    """(certificate, key, extra certificates): a self-signed signer in PEM files and a file of
    EXTRA_CERTIFICATES more self-signed certificates for the signature to carry, each well over
    a kilobyte, so that the certificate table outgrows the 64 KiB an end record search spans."""
    cert, key = os.path.join(folder, "signer.pem"), os.path.join(folder, "signer.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
            "-days", "2", "-subj", "/CN=Zor test signer")
    extra_key = os.path.join(folder, "extra.key")
    openssl("genrsa", "-out", extra_key, "2048")
    long_name = "x" * 60
    extras = os.path.join(folder, "extra.pem")
    with open(extras, "wb") as out:
        for number in range(EXTRA_CERTIFICATES):
            out.write(openssl("req", "-x509", "-new", "-key", extra_key, "-days", "2", "-subj",
                              "/CN=Zor extra %d/O=%s/OU=%s/OU=%s" % ((number,) + (long_name,) * 3)))
    return cert, key, extras


def security_directory(data):
    """(file offset, size) of the image's certificate table, from its security directory."""
    pe, = struct.unpack_from("<I", data, 0x3C)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    return struct.unpack_from("<II", data, directories + 4 * 8)


# --------------------------------------------------------------------------------------------
# Running the driver
# --------------------------------------------------------------------------------------------

def run_driver(folder, arguments, pauses=None, lang="en_US.UTF-8"):
    """Runs the driver in folder with LANG=lang. pauses maps pause names to checks run while
    the driver waits there; each pause is answered whatever its check does, and the first
    check that failed is raised again once the driver is done."""
    pauses = pauses or {}
    command = RUNNER + [DRIVER] + arguments + ["--timeout", "30"]
    for name in pauses:
        command += ["--pause-at", name]
    failures = []

    def on_pause(name):
        try:
            pauses[name]()
        except Exception as failure:  # noqa: BLE001 - raised again below
            failures.append(failure)

    run = talk_to_driver(command, lang, folder, on_pause)
    if failures:
        raise failures[0]
    return run


# --------------------------------------------------------------------------------------------
# The test
# --------------------------------------------------------------------------------------------

class RecordingFixture(unittest.TestCase):
    """A package of the stand-in in a folder of its own, the product not installed, and the
    registry and Zor.ini put back afterwards."""

    def setUp(self):
        strings = TEXTS["en"]["strings"]
        self.box = {number: "caption=%s text=%s" % (strings[IDS_APP_TITLE], strings[number])
                    for number in (IDS_RECORDING_FINISHED, IDS_INSERT_SUCCESS,
                                   IDS_ALREADY_INSTALLED)}

        self.folder = tempfile.mkdtemp(prefix="record-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.install_folder = "C:\\ZorE2E" + uuid.uuid4().hex[:8]
        self.addCleanup(shutil.rmtree, drive_c_path(self.install_folder), True)
        # Cleanups run last first: the key goes before the folders, whatever happened; the
        # maker's key too when the installation made it.
        self.addCleanup(remove_hand_over_keys)
        if reg("query", MAKER_KEY).returncode != 0:
            self.addCleanup(reg, "delete", MAKER_KEY, "/f")
        self.addCleanup(delete_product_key)

        delete_product_key()
        remove_hand_over_keys()
        self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS), "Zor.ini keys left")

        with open(SETUP, "rb") as f:
            self.image = f.read()
        self.members = mtp.sample_members()
        self.package_path = os.path.join(self.folder, "ZorSetup.exe")
        with open(self.package_path, "wb") as f:
            f.write(make_package.build_package(self.image, self.members))

    def assert_installs_silently(self, package_path, installed):
        """The package installs without a window, with the recorded choices: the product's key
        and the files {member name: data} below the install folder, the script left out."""
        run = run_driver(self.folder, ["run", "--app", windows_path(package_path),
                                       "--dir", windows_path(self.folder)])
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(run.values("EXIT"), ["code=0"], run)
        self.assertEqual(product_values(), {"installpath": ("REG_SZ", self.install_folder),
                                            "type": ("REG_SZ", "2")})
        target = drive_c_path(self.install_folder)
        for name, content in installed.items():
            path = os.path.join(target, *name.rstrip("/").split("/"))
            if name.endswith("/"):
                self.assertTrue(os.path.isdir(path), name)
            else:
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), content, name)
        self.assertFalse(os.path.exists(os.path.join(target, "auto1.ins")),
                         "the script was installed as a product file")


class RecordEndToEnd(RecordingFixture):

    def drive_kittailor(self, arguments, pauses=None, language="en"):
        run = run_driver(self.folder, ["record", "--app", windows_path(APP),
                                       "--caption", TEXTS[language]["captions"]["IDD_MAIN"],
                                       "--dir", windows_path(self.folder)] + arguments, pauses,
                         LANGUAGES[language][0])
        self.assertEqual(run.returncode, 0, run)
        self.assertFalse([line for line in run.lines if line.startswith("FAIL")], run)
        self.assertIn("DIALOG", run.lines, run)
        self.assertEqual(run.values("EXIT"), ["code=0"], run)
        return run

    def test_record_insert_install_then_refuse(self):
        script_path = os.path.join(self.folder, "auto1.ins")
        new_package_path = os.path.join(self.folder, "ZorSetup-auto.exe")

        # Recording: the request is in Zor.ini while the installer's window is open, and gone
        # by the time KitTailor says it has finished.
        def while_recording():
            values = hand_over_values()
            self.assertEqual(values.get("autoscriptrec"), "1", values)
            self.assertEqual(values.get("scriptfile", "").lower(),
                             windows_path(script_path).lower(), values)

        def once_finished():
            self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS),
                             "Zor.ini still holds the request: %r" % hand_over_values())
            script = read_profile(script_path).get("setup", {})
            self.assertEqual(script.get("installpath"), self.install_folder, script)
            self.assertEqual(script.get("type"), "2", script)
            self.assertEqual(script.get("silence"), "1", script)

        run = self.drive_kittailor(
            ["--script", "auto1", "--install-folder", self.install_folder, "--server",
             "--output", "ZorSetup-auto.exe"],
            {"setup": while_recording, "box1": once_finished})
        self.assertEqual(run.values("SETUP"), ["caption=" + RECORDING_CAPTION], run)
        self.assertEqual(run.values("BOX"), [self.box[IDS_RECORDING_FINISHED],
                                             self.box[IDS_INSERT_SUCCESS]], run)
        self.assertIsNone(product_values(), "recording installed the product")
        self.assertTrue(setup_logs(), "the stand-in left no log where it was looked for")

        # The new package: the script inside, sealed, the rest as it was.
        with open(script_path, "rb") as f:
            script_bytes = f.read()
        with open(new_package_path, "rb") as f:
            data = f.read()
        self.assertEqual(mtp.package_checksum(data), 0, "new package checksum not zero")
        self.assertEqual(data[:len(self.image)], self.image, "the image was changed")
        with zipfile.ZipFile(new_package_path) as archive:
            self.assertIsNone(archive.testzip())
            names = archive.namelist()
            self.assertEqual(names.count("auto1.ins"), 1, names)
            self.assertEqual(archive.read("auto1.ins"), script_bytes)
            self.assertEqual(sorted(names), sorted([m[0] for m in self.members] + ["auto1.ins"]))
            installed = {name: archive.read(name) for name in names if name != "auto1.ins"}

        # The new package installs silently with the recorded choices.
        self.assert_installs_silently(new_package_path, installed)

        # With the product installed, recording is refused before anything else is looked at:
        # the installer never starts, and the script named is not even created.
        for log in setup_logs():
            os.remove(log)
        run = self.drive_kittailor(["--script", "auto2"])
        self.assertEqual(run.values("SETUP"), [], run)
        self.assertEqual(run.values("BOX"), [self.box[IDS_ALREADY_INSTALLED]], run)
        self.assertIn("that  not installed", run.values("BOX")[0])
        self.assertEqual(setup_logs(), [], "the stand-in ran")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "auto2.ins")))
        self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS), hand_over_values())

    def test_installer_that_cannot_start_is_reported_in_each_language(self):
        # A package whose image is no program: the user is told why, in the dialog's language,
        # the request is taken back and the script is not marked for silent use.
        with open(self.package_path, "wb") as f:
            f.write(mtp.build_package(self.members))
        script_path = os.path.join(self.folder, "auto3.ins")
        for key in LANGUAGES:
            with self.subTest(language=key):
                strings = TEXTS[key]["strings"]
                run = self.drive_kittailor(["--script", "auto3"], language=key)
                self.assertEqual(run.values("SETUP"), [], run)
                boxes = run.values("BOX")
                self.assertEqual(len(boxes), 1, run)
                pattern = strings[IDS_CANNOT_START_INSTALLER]
                before_reason = pattern[:pattern.rindex("%s")].replace(
                    "%s", windows_path(self.package_path))
                expected = "caption=%s text=%s" % (strings[IDS_APP_TITLE], escaped(before_reason))
                self.assertTrue(boxes[0].startswith(expected), "%r\n%r" % (boxes[0], expected))
                self.assertGreater(len(boxes[0]), len(expected), "no reason given")
                self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS),
                                 hand_over_values())
                self.assertNotIn("silence", read_profile(script_path).get("setup", {}))


class KtlRecord(RecordingFixture):
    """ktl record: the same recording from the command line, then ktl insert and a silent
    installation from the new package."""

    def ktl(self, *arguments):
        return run_program([KTL] + list(arguments), RUN_LIMIT_SECONDS)

    def record_and_insert(self):
        """Records auto1.ins with ktl record and inserts it with ktl insert; the paths of the
        script and of the new package."""
        script_path = os.path.join(self.folder, "auto1.ins")
        new_package_path = os.path.join(self.folder, "ZorSetup-auto.exe")
        # ktl waits for the installer; the driver answers the installer's window.
        recording = subprocess.Popen(
            RUNNER + [KTL, "record", windows_path(self.package_path),
                      windows_path(os.path.join(self.folder, "auto1"))],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            driver = run_driver(self.folder, ["setup", "--install-folder", self.install_folder,
                                              "--server"])
            out, err = recording.communicate(timeout=RUN_LIMIT_SECONDS)
        finally:
            recording.kill()
        self.assertEqual(driver.values("SETUP"), ["caption=" + RECORDING_CAPTION], driver)
        self.assertEqual((recording.returncode, err), (0, b""), out)
        self.assertEqual(out.decode("utf-8").splitlines(), [
            "ktl: recording: the installer has started; the script is written when it ends",
            'ktl: recording finished: "%s", marked for a silent installation'
            % windows_path(script_path)])
        script = read_profile(script_path).get("setup", {})
        self.assertEqual((script.get("installpath"), script.get("type"), script.get("silence")),
                         (self.install_folder, "2", "1"), script)
        self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS), hand_over_values())
        self.assertIsNone(product_values(), "recording installed the product")

        run = self.ktl("insert", windows_path(self.package_path), windows_path(script_path),
                       "-o", windows_path(new_package_path))
        self.assertEqual(run.returncode, 0, run)
        with zipfile.ZipFile(new_package_path) as archive:
            self.assertIsNone(archive.testzip())
            with open(script_path, "rb") as f:
                self.assertEqual(archive.read("auto1.ins"), f.read())
        return script_path, new_package_path

    def test_record_insert_install_then_refuse(self):
        _, new_package_path = self.record_and_insert()
        run = run_driver(self.folder, ["run", "--app", windows_path(new_package_path),
                                       "--dir", windows_path(self.folder)])
        self.assertEqual(run.values("EXIT"), ["code=0"], run)
        self.assertEqual(product_values(), {"installpath": ("REG_SZ", self.install_folder),
                                            "type": ("REG_SZ", "2")})

        # Installed now: refused before the script is even created.
        for log in setup_logs():
            os.remove(log)
        run = self.ktl("record", windows_path(self.package_path),
                       windows_path(os.path.join(self.folder, "auto2")))
        self.assertEqual(run.returncode, 6, run)
        self.assertIn("that  not installed", run.stderr.decode("utf-8"))
        self.assertEqual((run.stdout, setup_logs()), (b"", []), run)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "auto2.ins")))

    def test_signed_package_installs_silently(self):
        # An organisation signs the customised package; the signature's certificate table,
        # appended behind the archive, is longer than the end record search reaches.
        missing = [tool for tool in SIGNING_TOOLS if shutil.which(tool) is None]
        if missing:
            self.skipTest("signing a package needs %s, not found" % " and ".join(missing))
        _, new_package_path = self.record_and_insert()
        with zipfile.ZipFile(new_package_path) as archive:
            installed = {name: archive.read(name) for name in archive.namelist()
                         if name != "auto1.ins"}
        cert, key, extras = make_signing_certificates(self.folder)
        signed_path = os.path.join(self.folder, "ZorSetup-signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-ac", extras,
                        "-in", new_package_path, "-out", signed_path],
                       stdin=subprocess.DEVNULL, capture_output=True, check=True)
        # ktl seal makes the checksum zero again through the CheckSum field alone.
        sealed = self.ktl("seal", windows_path(signed_path))
        self.assertEqual(sealed.returncode, 0, sealed)
        with open(signed_path, "rb") as f:
            signed = f.read()
        table_at, table_size = security_directory(signed)
        self.assertEqual(table_at + table_size, len(signed), "the table does not end the file")
        self.assertGreater(table_size, 0x10000 + 22, "the table is within the search's reach")
        self.assertEqual(mtp.package_checksum(signed), 0)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed_path],
                                stdin=subprocess.DEVNULL, capture_output=True)
        self.assertEqual(verify.returncode, 0, verify)
        self.assertIn(b"Signature verification: ok", verify.stdout, verify)

        self.assert_installs_silently(signed_path, installed)

    def test_refusals_have_their_own_status(self):
        script = windows_path(os.path.join(self.folder, "auto3"))
        # A request that cannot be handed over (Zor.ini is a folder here, as it would be
        # unwritable without elevation) starts no installer.
        hand_over = drive_c_path(HAND_OVER_FILE)
        kept = os.path.exists(hand_over)
        if kept:
            os.replace(hand_over, hand_over + ".kept")
        os.mkdir(hand_over)
        try:
            run = self.ktl("record", windows_path(self.package_path), script)
        finally:
            os.rmdir(hand_over)
            if kept:
                os.replace(hand_over + ".kept", hand_over)
        self.assertEqual(run.returncode, 9, run)
        self.assertRegex(run.stderr.decode("utf-8"),
                         r'^ktl: cannot record: cannot write the recording request into '
                         r'"C:\\windows\\Zor\.ini" .*: \S')
        self.assertEqual((run.stdout, setup_logs()), (b"", []), run)

        # An image that is no program: the system's reason, status 7.
        with open(self.package_path, "wb") as f:
            f.write(mtp.build_package(self.members))
        run = self.ktl("record", windows_path(self.package_path), script)
        self.assertEqual(run.returncode, 7, run)
        self.assertRegex(run.stderr.decode("utf-8"),
                         r'^ktl: cannot record: cannot start the installer ".*ZorSetup\.exe": \S')
        self.assertNotIn("silence", read_profile(os.path.join(self.folder, "auto3.ins"))
                         .get("setup", {}))
        self.assertFalse(set(hand_over_values()) & set(HAND_OVER_KEYS), hand_over_values())
        # Inputs: no package, status 8; a usage error names the option.
        run = self.ktl("record", windows_path(os.path.join(self.folder, "missing.exe")), script)
        self.assertEqual(run.returncode, 8, run)
        run = self.ktl("record", windows_path(self.package_path), script, "--silnt")
        self.assertEqual(run.returncode, 64, run)
        self.assertIn('"--silnt"', run.stderr.decode("utf-8"))


def main():
    global DRIVER, APP, SETUP, RUNNER, KTL
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--driver", required=True, help="record_e2e.exe")
    parser.add_argument("--app", required=True, help="KitTailor.exe")
    parser.add_argument("--setup", required=True, help="the installer stand-in ZorSetup.exe")
    parser.add_argument("--ktl", required=True, help="ktl.exe")
    parser.add_argument("--runner", help="command that runs Windows programs (default: wine "
                                         "off Windows)")
    args, rest = parser.parse_known_args()
    DRIVER = os.path.abspath(args.driver)
    APP = os.path.abspath(args.app)
    SETUP = os.path.abspath(args.setup)
    KTL = os.path.abspath(args.ktl)
    RUNNER = runner_from(args.runner)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    sys.exit(not program.result.wasSuccessful())


if __name__ == "__main__":
    main()
