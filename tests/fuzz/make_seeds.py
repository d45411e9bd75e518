#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: member archives made by Python's zipfile,
packages around them, and executable images, each in the input layout its target reads.

usage: make_seeds.py FOLDER   (makes FOLDER/TARGET for each fuzz target)
"""
import io
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def make_zip(members, comment=b"", compression=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_STORED if name.endswith("/") else compression
            archive.writestr(info, data)
        archive.comment = comment
    return out.getvalue()


class Unseekable(io.RawIOBase):
    """A stream zipfile cannot seek in, so that it writes data descriptors."""

    def __init__(self):
        super().__init__()
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def make_streamed_zip(members):
    out = Unseekable()
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return bytes(out.data)


def end_record_at(data):
    return data.rindex(b"PK\x05\x06")


def central_entries(data):
    """The end record's position and the central entries as (offset, length) pairs."""
    end = end_record_at(data)
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    entries, at = [], offset
    for _ in range(count):
        n, m, k = struct.unpack_from("<HHH", data, at + 28)
        entries.append((at, 46 + n + m + k))
        at += 46 + n + m + k
    return end, offset, entries


def reversed_directory(data):
    """The same archive with its directory entries in the opposite order to the members."""
    end, offset, entries = central_entries(data)
    directory = b"".join(data[at:at + length] for at, length in reversed(entries))
    return data[:offset] + directory + data[end:]


def prefixed(data, junk):
    """The archive behind `junk`, every offset moved on by its length."""
    end, offset, entries = central_entries(data)
    out = bytearray(junk + data)
    shift = len(junk)
    for at, _ in entries:
        local = struct.unpack_from("<I", out, shift + at + 42)[0]
        struct.pack_into("<I", out, shift + at + 42, local + shift)
    struct.pack_into("<I", out, shift + end + 16, offset + shift)
    return bytes(out)


def wrong_crc(data, index):
    """The archive with member `index`'s CRC-32 changed in its local header and its entry."""
    _, _, entries = central_entries(data)
    out = bytearray(data)
    at = entries[index][0]
    local = struct.unpack_from("<I", out, at + 42)[0]
    for field in (at + 16, local + 14):
        out[field] ^= 0x5A
    return bytes(out)


def word_sum(data):
    padded = data + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(f"<{len(padded) // 4}I", padded)) & 0xFFFFFFFF


def seal(data):
    data = data + b"\0" * (-len(data) % 4)
    return data + struct.pack("<I", -word_sum(data) & 0xFFFFFFFF)


def make_image(sections, magic=0x10B, pe_at=0x80):
    """An image whose header names `sections` as (pointer, size) pairs of raw data; the bytes
    up to the furthest section end are there."""
    table = pe_at + (248 if magic == 0x10B else 264)  # a PE32+ optional header is longer
    end = max([table + 40 * len(sections)] + [p + s for p, s in sections if p + s < 1 << 20])
    image = bytearray(end)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, pe_at)
    struct.pack_into("<4sHH", image, pe_at, b"PE\0\0", 0x14C, len(sections))
    struct.pack_into("<HH", image, pe_at + 20, 224 if magic == 0x10B else 240, 0x102)
    struct.pack_into("<H", image, pe_at + 24, magic)
    for i, (pointer, size) in enumerate(sections):
        struct.pack_into("<8sIIIIII", image, table + 40 * i, b".sect%d" % i, size, 0x1000 * (i + 1),
                         size, pointer, 0, 0)
        for at in range(pointer, min(pointer + size, len(image))):
            image[at] = (at * 13 + i) & 0xFF
    return bytes(image)


def archives():
    script = b"[Setup]\r\nSilence=1\r\n"
    nested = make_zip([("inner.txt", b"inner")], compression=zipfile.ZIP_STORED)
    one = make_zip([("setup.ini", b"[Setup]\r\nProduct=Zor\r\n" * 20)])
    return {
        "empty.zip": make_zip([]),
        "one_deflated.zip": one,
        "stored_with_directory.zip": make_zip(
            [("InstallScript/", b""), ("InstallScript/auto1.ins", script)],
            compression=zipfile.ZIP_STORED),
        "commented.zip": make_zip([("readme.txt", b"Zor\r\n" * 10)], comment=b"Zor package"),
        "padded_and_checksummed.zip": seal(one)[: len(one) + 7],
        "two_members.zip": make_zip([("AUTO1.INS", script), ("data/x.txt", b"x" * 300)]),
        "nested_archive.zip": make_zip([("nested.zip", nested)], compression=zipfile.ZIP_STORED),
    }


def rewrite_archives(zips):
    """Archives for removing and taking out members: names that match in other letter case and
    with the other separator, directory members, data descriptors, members whose directory
    order is not their order in the file, bytes before the first member, a wrong CRC-32."""
    script = b"[Setup]\r\nSilence=1\r\n"
    twins = make_zip([("AUTO1.INS", script), ("data/x.txt", b"x" * 300),
                      ("InstallScript\\Auto1.ins", script * 3), ("auto1.ins", b"second")])
    folders = make_zip([("InstallScript/", b""), ("InstallScript/auto1.ins", script),
                        ("installscript\\", b""), ("setup.ini", b"[Setup]\r\n" * 30)],
                       compression=zipfile.ZIP_STORED)
    streamed = make_streamed_zip([("auto1.ins", script * 5), ("Setup.ini", b"[Setup]\r\n"),
                                  ("data/x.txt", b"x" * 700)])
    archives = dict(zips)
    archives.update({
        "case_and_separator_twins.zip": twins,
        "directory_members.zip": folders,
        "data_descriptors.zip": streamed,
        "directory_order_reversed.zip": reversed_directory(twins),
        "bytes_before_members.zip": prefixed(folders, b"Zor stub data\0\0\0"),
        "wrong_crc.zip": wrong_crc(twins, 0),
    })
    return archives


def packages(zips):
    seeds = {}
    # flags: 1 whole package, 2 in place, 4 answer Yes, 8 seal, 16/32/48 member name, 64.. source
    for flags, name in [(0x08, "one_deflated.zip"), (0x0A, "two_members.zip"),
                        (0x18, "two_members.zip"), (0x00, "one_deflated.zip"),
                        (0x04, "commented.zip"), (0x28, "stored_with_directory.zip"),
                        (0xC8, "empty.zip"), (0x4A, "nested_archive.zip"),
                        (0x88, "padded_and_checksummed.zip")]:
        seeds[f"image_{flags:02x}_{name}"] = bytes([flags]) + zips[name]
    image = make_image([(0x400, 0x200), (0x600, 0x100), (0x200, 0x200)])
    seeds["whole_sealed_by_target"] = bytes([0x39]) + image + zips["two_members.zip"]
    seeds["whole_sealed_in_place"] = bytes([0x03]) + seal(image + zips["one_deflated.zip"])
    return seeds


def rewrites(archives):
    seeds = {}
    # flags: 1 whole package, 2 in place, 4 answer Yes, 8 seal, 16 replace; the choice byte:
    # the member name (0 auto1.ins ... 7 readme.txt) and, from bit 3 on, the file inserted
    for flags, choice, name in [(0x08, 0, "case_and_separator_twins.zip"),
                                (0x0A, 1, "case_and_separator_twins.zip"),
                                (0x18, 0, "case_and_separator_twins.zip"),
                                (0x1A, 0x09, "directory_order_reversed.zip"),
                                (0x08, 2, "directory_members.zip"),
                                (0x0A, 3, "directory_members.zip"),
                                (0x18, 0x14, "directory_members.zip"),
                                (0x08, 4, "bytes_before_members.zip"),
                                (0x1A, 0x1C, "bytes_before_members.zip"),
                                (0x08, 0, "data_descriptors.zip"),
                                (0x18, 4, "data_descriptors.zip"),
                                (0x0A, 5, "two_members.zip"),
                                (0x08, 6, "two_members.zip"),
                                (0x18, 6, "one_deflated.zip"),
                                (0x08, 7, "commented.zip"),
                                (0x1A, 7, "commented.zip"),
                                (0x04, 4, "one_deflated.zip"),
                                (0x00, 0, "wrong_crc.zip"),
                                (0x0A, 4, "padded_and_checksummed.zip")]:
        seeds[f"image_{flags:02x}_{choice:02x}_{name}"] = bytes([flags, choice]) + archives[name]
    image = make_image([(0x400, 0x200), (0x600, 0x100), (0x200, 0x200)])
    seeds["whole_sealed_in_place"] = (bytes([0x03, 0]) +
                                      seal(image + archives["case_and_separator_twins.zip"]))
    return seeds


def extracts(archives):
    seeds = {}
    # flags: 1 whole package, 2 seal, 4 into a file; bits 3-4 the file (new, the package, a
    # symbolic or a hard link) or the sink's limit; bits 5-7 the member name
    for flags, name in [(0x04, "case_and_separator_twins.zip"),
                        (0x20, "case_and_separator_twins.zip"),
                        (0x26, "directory_order_reversed.zip"),
                        (0x44, "directory_members.zip"), (0x64, "directory_members.zip"),
                        (0x84, "bytes_before_members.zip"), (0x06, "data_descriptors.zip"),
                        (0xA4, "two_members.zip"), (0xC4, "one_deflated.zip"),
                        (0xE4, "commented.zip"), (0x04, "wrong_crc.zip"),
                        (0x00, "wrong_crc.zip"), (0x0C, "case_and_separator_twins.zip"),
                        (0x14, "case_and_separator_twins.zip"),
                        (0x1C, "case_and_separator_twins.zip"),
                        (0x08, "data_descriptors.zip"), (0x10, "data_descriptors.zip"),
                        (0x98, "data_descriptors.zip")]:
        seeds[f"image_{flags:02x}_{name}"] = bytes([flags]) + archives[name]
    image = make_image([(0x400, 0x200), (0x600, 0x100), (0x200, 0x200)])
    seeds["whole_sealed"] = bytes([0x05]) + seal(image + archives["data_descriptors.zip"])
    return seeds


def images():
    seeds = {
        "pe32_three_sections": bytes([0]) + make_image([(0x400, 0x200), (0x600, 0x100),
                                                        (0x200, 0x200)]) + b"overlay",
        "pe32_no_sections": bytes([0]) + make_image([]),
        "pe32plus": bytes([0]) + make_image([(0x400, 0x200)], magic=0x20B),
        "section_past_4gib": bytes([0]) + make_image([(0x400, 0x200), (0xFFFFFF00, 0x200)]),
    }
    # Headers placed near the end of the first MiB by the laid-out form: flags, file length,
    # header position, DOS header, then the bytes placed there.
    for at in (0xFFE00, 0xFFF00):
        headers = make_image([(0x400, 0x200), (0x100000, 0x1000)], pe_at=0x80)
        dos, pe = headers[:64], headers[0x80:0x80 + 248 + 80]
        seeds[f"headers_at_{at:x}"] = (bytes([3]) + (0x100400).to_bytes(3, "little") +
                                       at.to_bytes(3, "little") + dos + pe)
    return seeds


def recoveries():
    """Each kind of file beside the journal, with a few tails and edits."""
    seeds = {}
    for flags in range(32):
        for at in (0x0A00, 0x1234, 0xFFFF):
            body = bytes((i * 37 + flags) & 0xFF for i in range(30 + flags * 5))
            seeds[f"flags_{flags:02x}_at_{at:x}"] = bytes([flags]) + at.to_bytes(2, "little") + body
    return seeds


def make_signable_image(pe32_plus):
    """An image laid out as a linker would, with every data directory and so the security
    entry, which a signing tool fills in; its sections end at 0x800."""
    sections = [(0x400, 0x200), (0x600, 0x200)]
    pe_at = 0x80
    optional_size = 240 if pe32_plus else 224
    table = pe_at + 24 + optional_size
    image = bytearray(b"\xCC" * 0x800)
    image[:table + 40 * len(sections)] = bytes(table + 40 * len(sections))
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, pe_at)
    struct.pack_into("<4sHH", image, pe_at, b"PE\0\0", 0x8664 if pe32_plus else 0x14C,
                     len(sections))
    struct.pack_into("<HH", image, pe_at + 20, optional_size, 0x22 if pe32_plus else 0x102)
    optional = pe_at + 24
    struct.pack_into("<H", image, optional, 0x20B if pe32_plus else 0x10B)
    struct.pack_into("<II", image, optional + 32, 0x1000, 0x200)  # section, file alignment
    struct.pack_into("<II", image, optional + 56, 0x3000, 0x400)  # image, header sizes
    struct.pack_into("<H", image, optional + 68, 2)  # GUI subsystem
    struct.pack_into("<I", image, optional + (108 if pe32_plus else 92), 16)
    for i, (pointer, size) in enumerate(sections):
        struct.pack_into("<8sIIII", image, table + 40 * i, b".sect%d" % i, size,
                         0x1000 * (i + 1), size, pointer)
    return bytes(image)


def signed_packages():
    """Packages signed by osslsigncode with a certificate made here: PE32 under SHA-256, PE32+
    under SHA-1, and one with a nested signature. Each is checked by osslsigncode's own verify.
    none without the tools."""
    if shutil.which("openssl") is None or shutil.which("osslsigncode") is None:
        print("make_seeds.py: no openssl or osslsigncode; signature_fuzz starts without seeds",
              file=sys.stderr)
        return {}
    archive = make_zip([("setup.ini", b"[Setup]\r\nProduct=Zor\r\n")])
    seeds = {}
    with tempfile.TemporaryDirectory() as keys:
        key, cert = f"{keys}/signer.key", f"{keys}/signer.pem"

        def run(*command):
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
            "-subj", "/CN=Zor Fuzz Signer", "-addext", "extendedKeyUsage=codeSigning",
            "-keyout", key, "-out", cert)

        def sign(source, hash_name, name, nest=False):
            unsigned, out = f"{keys}/{name}.in", f"{keys}/{name}.exe"
            Path(unsigned).write_bytes(source)
            run("osslsigncode", "sign", *(["-nest"] if nest else []), "-certs", cert, "-key", key,
                "-h", hash_name, "-in", unsigned, "-out", out)
            run("osslsigncode", "verify", "-CAfile", cert, "-in", out)
            return Path(out).read_bytes()

        pe32 = sign(seal(make_signable_image(False) + archive), "sha256", "pe32_sha256")
        seeds["pe32_sha256"] = pe32
        seeds["pe32plus_sha1"] = sign(seal(make_signable_image(True) + archive), "sha1",
                                      "pe32plus_sha1")
        seeds["pe32_sha256_nested_sha1"] = sign(pe32, "sha1", "nested", nest=True)
    return seeds


def main():
    folder = Path(sys.argv[1])
    zips = archives()
    more = rewrite_archives(zips)
    for target, seeds in (("archive_fuzz", zips), ("package_fuzz", packages(zips)),
                          ("image_walk_fuzz", images()), ("rewrite_fuzz", rewrites(more)),
                          ("extract_fuzz", extracts(more)), ("recovery_fuzz", recoveries()),
                          ("signature_fuzz", signed_packages())):
        (folder / target).mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / target / name).write_bytes(data)


if __name__ == "__main__":
    main()
