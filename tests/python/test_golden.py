#!/usr/bin/env python3
"""Golden outputs of `ktl insert`: deterministic packages, each insert run into a new package
(-o) and in place, and the SHA-256 of what it wrote, its exit status, its standard output and
the files left in its folder compared with golden_outputs.json. Any change to the engine's
insert has to keep these byte for byte.

    python3 tests/python/test_golden.py --ktl PATH_TO_KTL [--runner wine] [--record]

--record runs every case and rewrites the JSON instead of testing; record only with an engine
known to be right. The native and the Windows builds deflate with the same zlib (1.2.13) and
write the same bytes, so one set of outputs serves both. The packages are made by zipfile, so
their own hashes are recorded too: a Python whose zlib deflates differently makes other
inputs, and the test says so instead of blaming ktl.
"""

import argparse
import hashlib
import io
import json
import os
import random
import shlex
import sys
import tempfile
import unittest
import zipfile
import zlib

import test_ktl as tk

mtp = tk.mtp
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden_outputs.json")
MODES = ("new", "in_place")


def mixed(rng, size):
    """Half random bytes, half repetitive text: deflate has work of both kinds."""
    words = [b"zor ", b"setup ", b"member\r\n", b"0123456789", b"[Setup]\r\n"]
    text = bytearray()
    while len(text) < size - size // 2:
        text += rng.choice(words)
    return rng.randbytes(size // 2) + bytes(text[:size - size // 2])


def members(seed, sizes):
    """Members of the given sizes, stored and deflated by turns, in two folders."""
    rng = random.Random(seed)
    result = [("Zor/", b"", zipfile.ZIP_STORED)]
    for i, size in enumerate(sizes):
        method = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED
        result.append(("Zor/%s/file%02d.dat" % ("bin" if i % 3 else "data", i),
                       mixed(rng, size), method))
    return result


def odd_length(members_):
    """An unsealed package whose length is 3 modulo 4; the comment takes up the slack."""
    bare = mtp.build_package(members_, seal=False)
    return mtp.build_package(members_, comment=b"c" * ((3 - len(bare)) % 4), seal=False)


def with_trailing_bytes(members_, rng):
    image = mtp.build_pe_image(mtp.DEFAULT_SECTIONS)
    return mtp.seal(image + mtp.build_archive(members_) + rng.randbytes(37))


SMALL = members(1, [3000, 1500, 2500])
SCRIPT = b"[Setup]\r\nSilence=1\r\nInstallPath=C:\\Zor\r\n" * 40
DAMAGED = lambda: tk.flip_byte(mtp.build_package(SMALL), 0x700)  # noqa: E731

# name: rng -> (package, file name, file bytes, extra arguments)
CASES = {
    "small": lambda rng: (mtp.build_package(SMALL), "auto1.ins", SCRIPT, []),
    "medium": lambda rng: (mtp.build_package(members(2, [150000, 120000, 60000, 9000])),
                           "auto2.ins", mixed(rng, 40000), []),
    "large": lambda rng: (mtp.build_package(members(3, [1700000, 900000, 400000])),
                          "big.dat", mixed(rng, 1536 * 1024), ["-n", "Zor/bin/big.dat"]),
    "comment": lambda rng: (mtp.build_package(SMALL, comment=b"Zor install package 1.0"),
                            "auto1.ins", SCRIPT, []),
    "trailing_bytes": lambda rng: (with_trailing_bytes(SMALL, rng), "auto1.ins", SCRIPT, []),
    "odd_length": lambda rng: (odd_length(SMALL), "auto1.ins", SCRIPT, ["--yes"]),
    "damaged_yes": lambda rng: (DAMAGED(), "auto1.ins", SCRIPT, ["--yes"]),
    "damaged_no": lambda rng: (DAMAGED(), "auto1.ins", SCRIPT, ["--no"]),
    "empty_archive": lambda rng: (mtp.build_package([]), "auto1.ins", SCRIPT, []),
    "backslash_name": lambda rng: (mtp.build_package(SMALL), "auto1.ins", SCRIPT,
                                   ["-n", "InstallScript\\auto1.ins"]),
    "empty_file": lambda rng: (mtp.build_package(SMALL), "empty.txt", b"", []),
    "random_100k": lambda rng: (mtp.build_package(SMALL), "random.bin",
                                rng.randbytes(100 * 1024), []),
    "duplicate": lambda rng: (mtp.build_package(SMALL), "file01.dat", SCRIPT,
                              ["-n", "zor/BIN/FILE01.DAT"]),
}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def is_sound(package):
    """Sealed, and every member reads back with its CRC: judged by zipfile, not by ktl."""
    if len(package) % 4 or mtp.package_checksum(package):
        return False
    try:
        with zipfile.ZipFile(io.BytesIO(package)) as archive:
            return archive.testzip() is None
    except zipfile.BadZipFile:
        return False


def observe(name, work, temp):
    """Runs the case in both modes under `work`; returns the inputs' hashes and, per mode,
    what ktl did."""
    package, file_name, data, extra = CASES[name](random.Random(name))
    seen = {"inputs": {"package": sha256(package), "file": sha256(data)}}
    for mode in MODES:
        folder = os.path.join(work, mode)
        os.makedirs(folder)
        for path, content in (("pkg.exe", package), (file_name, data)):
            with open(os.path.join(folder, path), "wb") as f:
                f.write(content)
        args = ["insert", "pkg.exe", file_name] + (["-o", "out.exe"] if mode == "new" else [])
        result = tk.run_ktl(args + extra, temp, cwd=folder)
        output = os.path.join(folder, "out.exe" if mode == "new" else "pkg.exe")
        digest, sound = None, False
        if os.path.exists(output):
            with open(output, "rb") as f:
                written = f.read()
            digest = sha256(written)
            sound = is_sound(written)
        seen[mode] = {"exit": result.returncode, "stdout": result.out_lines, "sha256": digest,
                      "sound": sound, "files": sorted(os.listdir(folder)),
                      "temp_files": os.listdir(temp)}
    return seen


def load_golden():
    with open(GOLDEN, encoding="utf-8") as f:
        return json.load(f)


class GoldenInsertTests(tk.KtlTestCase):
    def check(self, name):
        golden = load_golden()
        want = golden["cases"][name]
        seen = observe(name, self.work, self.temp)
        self.assertEqual(seen["inputs"], want["inputs"],
                         "the generated inputs differ from the recorded ones (Python's zlib "
                         "%s, recorded with %s); record again with an engine known to be right"
                         % (zlib.ZLIB_VERSION, golden["python_zlib"]))
        for mode in MODES:
            with self.subTest(mode=mode):
                self.assertEqual(seen[mode], want[mode])


for _name in CASES:
    setattr(GoldenInsertTests, "test_" + _name,
            lambda self, name=_name: self.check(name))


def record():
    cases = {}
    for name in CASES:
        with tempfile.TemporaryDirectory() as work, tempfile.TemporaryDirectory() as temp:
            cases[name] = observe(name, work, temp)
            print("%-15s %s" % (name, {m: cases[name][m]["exit"] for m in MODES}))
    with open(GOLDEN, "w", encoding="utf-8") as f:
        json.dump({"python_zlib": zlib.ZLIB_VERSION, "cases": cases}, f, indent=1,
                  sort_keys=True)
        f.write("\n")


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--ktl", required=True, help="the ktl program to test")
    parser.add_argument("--runner", help="command that runs ktl (e.g. wine)")
    parser.add_argument("--record", action="store_true", help="rewrite golden_outputs.json")
    args, rest = parser.parse_known_args()
    tk.KTL = os.path.abspath(args.ktl)
    tk.RUNNER = shlex.split(args.runner) if args.runner else None
    try:
        if args.record:
            record()
            return 0
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
        return not program.result.wasSuccessful()
    finally:
        if tk._launcher_dir is not None:
            tk._launcher_dir.cleanup()


if __name__ == "__main__":
    sys.exit(main())
