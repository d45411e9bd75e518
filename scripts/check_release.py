#!/usr/bin/env python3
"""Checks a release zip with tools we did not write: Python's zipfile and hashlib, the PE
header read by hand, and the Windows loader (through program_resources under Wine).

  check_release.py ZIP --machine win64|win32 --version X.Y.Z --readme README.md
                   --resources PROGRAM_RESOURCES_EXE [--runner wine]

The zip must hold KitTailor-<version>-<machine>/ with exactly KitTailor.exe, ktl.exe,
README.md and SHA256SUMS.txt; the sums right; the README the source's; both programs built
for the machine the name says and stripped (no COFF symbol table, no debug section), each with
a manifest of the right execution level, identity, version and machine, and a version block of
the same version. Prints one line per check and exits 1 at the first that fails.
"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

MACHINES = {"win64": (0x8664, "amd64"), "win32": (0x14C, "x86")}
LEVELS = {"KitTailor.exe": "requireAdministrator", "ktl.exe": "asInvoker"}


def fail(text):
    print("release check: FAILED: " + text)
    sys.exit(1)


def passed(text):
    print("release check: " + text)


def pe_machine(data):
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    (at,) = struct.unpack_from("<I", data, 0x3C)
    if at + 6 > len(data) or data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


# The COFF file header follows the "PE\0\0" signature; the section headers follow the optional
# header, 40 bytes each, each opening with its 8-byte name.
FILE_HEADER_SECTIONS = 2
FILE_HEADER_SYMBOL_TABLE = 8
FILE_HEADER_SYMBOLS = 12
FILE_HEADER_OPTIONAL_SIZE = 16
FILE_HEADER_SIZE = 20
SECTION_HEADER_SIZE = 40


def pe_leftovers(data):
    """What a stripped image has none of: a symbol table (its file offset and count) and debug
    sections (".debug*", or any "/NN" name: a long name, kept in the symbol table's strings,
    as the debug sections' names are)."""
    (at,) = struct.unpack_from("<I", data, 0x3C)
    header = at + 4
    (sections,) = struct.unpack_from("<H", data, header + FILE_HEADER_SECTIONS)
    (table,) = struct.unpack_from("<I", data, header + FILE_HEADER_SYMBOL_TABLE)
    (symbols,) = struct.unpack_from("<I", data, header + FILE_HEADER_SYMBOLS)
    (optional,) = struct.unpack_from("<H", data, header + FILE_HEADER_OPTIONAL_SIZE)
    first = header + FILE_HEADER_SIZE + optional
    names = [data[first + i * SECTION_HEADER_SIZE:first + i * SECTION_HEADER_SIZE + 8]
             .rstrip(b"\0").decode("latin-1") for i in range(sections)]
    debug = [name for name in names if name.startswith(".debug") or name.startswith("/")]
    return table, symbols, debug


def attribute(tag, name):
    found = re.search(r'\s' + name + r'="([^"]*)"', tag)
    return found.group(1) if found else None


def read_resources(text):
    """program_resources' report, as {program path: {"manifest": ..., key: value}}."""
    programs, current, manifest = {}, None, None
    for line in text.splitlines():
        if manifest is not None:
            if line == "end manifest":
                current["manifest"] = "\n".join(manifest)
                manifest = None
            else:
                manifest.append(line)
        elif line.startswith("program "):
            current = programs.setdefault(line[len("program "):], {})
        elif line == "manifest":
            manifest = []
        elif current is not None and " " in line:
            key, value = line.split(" ", 1)
            current[key] = value
    return programs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zip")
    parser.add_argument("--machine", required=True, choices=sorted(MACHINES))
    parser.add_argument("--version", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--resources", required=True)
    parser.add_argument("--runner", default=None)
    args = parser.parse_args()

    folder = "KitTailor-%s-%s" % (args.version, args.machine)
    if os.path.basename(args.zip) != folder + ".zip":
        fail("%s is not named %s.zip" % (args.zip, folder))
    with zipfile.ZipFile(args.zip) as archive:
        bad = archive.testzip()
        if bad is not None:
            fail("%s: %s does not read back" % (args.zip, bad))
        files = {info.filename[len(folder) + 1:]: archive.read(info)
                 for info in archive.infolist() if not info.is_dir()}
        strays = [info.filename for info in archive.infolist()
                  if not info.filename.startswith(folder + "/")]
    if strays:
        fail("entries outside %s/: %s" % (folder, ", ".join(strays)))
    expected = ["KitTailor.exe", "README.md", "SHA256SUMS.txt", "ktl.exe"]
    if sorted(files) != expected:
        fail("the zip holds %s, not %s" % (sorted(files), expected))
    passed("%s.zip holds %s" % (folder, ", ".join(expected)))

    sums = {}
    for line in files["SHA256SUMS.txt"].decode("ascii").splitlines():
        digest, name = line.split("  ", 1)
        sums[name] = digest
    if sorted(sums) != ["KitTailor.exe", "README.md", "ktl.exe"]:
        fail("SHA256SUMS.txt lists %s" % sorted(sums))
    for name, digest in sums.items():
        if hashlib.sha256(files[name]).hexdigest() != digest:
            fail("the SHA-256 of %s is not the one SHA256SUMS.txt gives" % name)
    passed("SHA256SUMS.txt is right for all three")
    with open(args.readme, "rb") as readme:
        if readme.read() != files["README.md"]:
            fail("README.md in the zip is not the source's")

    machine, architecture = MACHINES[args.machine]
    quad = ".".join((args.version.split(".") + ["0"] * 4)[:4])
    with tempfile.TemporaryDirectory() as work:
        paths = []
        for name in LEVELS:
            found = pe_machine(files[name])
            if found != machine:
                fail("%s is built for machine %s, not 0x%X" %
                     (name, "none" if found is None else "0x%X" % found, machine))
            path = os.path.join(work, name)
            with open(path, "wb") as program:
                program.write(files[name])
            paths.append(path)
        passed("both programs are built for machine 0x%X (%s)" % (machine, args.machine))
        for name in LEVELS:
            table, symbols, debug = pe_leftovers(files[name])
            if table or symbols or debug:
                fail("%s is not stripped: symbol table at 0x%X with %d symbols, debug "
                     "sections %s" % (name, table, symbols, debug or "none"))
        passed("both programs are stripped, no symbol table and no debug section: %s" %
               ", ".join("%s %d bytes" % (name, len(files[name])) for name in LEVELS))
        command = ([args.runner] if args.runner else []) + [args.resources] + paths
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=120)
        report = read_resources(run.stdout.decode("utf-8", "replace"))
        if run.returncode != 0:
            fail("the loader could not read the programs' resources:\n" +
                 run.stdout.decode("utf-8", "replace"))
    for path, seen in report.items():
        name = re.split(r"[\\/]", path)[-1]
        manifest = seen.get("manifest", "")
        identity = re.search(r"<assemblyIdentity[^>]*>", manifest)
        level = re.search(r"<requestedExecutionLevel[^>]*>", manifest)
        if identity is None or level is None:
            fail("%s: the manifest has no identity or no execution level" % name)
        checks = [("manifest execution level", attribute(level.group(0), "level"), LEVELS[name]),
                  ("manifest version", attribute(identity.group(0), "version"), quad),
                  ("manifest machine", attribute(identity.group(0), "processorArchitecture"),
                   architecture),
                  ("fixed file version", seen.get("file-version"), quad),
                  ("fixed product version", seen.get("product-version"), quad),
                  ("FileVersion", seen.get("FileVersion"), quad),
                  ("ProductVersion", seen.get("ProductVersion"), quad)]
        for what, found, wanted in checks:
            if found != wanted:
                fail("%s: %s is %r, not %r" % (name, what, found, wanted))
        passed("%s: manifest (%s, %s, %s) and version block %s, read by the loader" %
               (name, LEVELS[name], quad, architecture, quad))
    if len(report) != len(LEVELS):
        fail("the loader reported on %d programs, not %d" % (len(report), len(LEVELS)))


if __name__ == "__main__":
    main()
