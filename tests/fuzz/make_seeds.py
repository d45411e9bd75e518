#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: member archives made by Python's zipfile,
packages around them, and executable images, each in the input layout its target reads.

usage: make_seeds.py FOLDER   (makes FOLDER/archive_fuzz, FOLDER/package_fuzz and
                               FOLDER/image_walk_fuzz)
"""
import io
import struct
import sys
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


def main():
    folder = Path(sys.argv[1])
    zips = archives()
    for target, seeds in (("archive_fuzz", zips), ("package_fuzz", packages(zips)),
                          ("image_walk_fuzz", images())):
        (folder / target).mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / target / name).write_bytes(data)


if __name__ == "__main__":
    main()
