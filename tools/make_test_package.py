#!/usr/bin/env python3
"""Builds install packages for testing ktl, without any of ktl's own code.

An install package is a PE executable image, the member archive (a ZIP archive) appended
behind the image, zero pad bytes up to a multiple of 4, and a closing little-endian 32-bit
word chosen so that the package checksum -- the wrap-around 32-bit sum of all little-endian
32-bit words of the file, a last partial word zero-extended -- is zero.

Used as a module by the Python tests, and as a command-line tool:

    python3 tools/make_test_package.py OUT.exe [--member NAME=PATH ...] [--sample]
"""

import argparse
import io
import struct
import sys
import zipfile

# Where the PE headers start (e_lfanew) in every image built here.
PE_HEADER_OFFSET = 0x80
# IMAGE_FILE_HEADER is 20 bytes and the PE32 optional header 224, so the section table
# follows 4 + 20 + 224 bytes after the "PE\0\0" signature.
SIZE_OF_OPTIONAL_HEADER = 224
SECTION_TABLE_OFFSET = PE_HEADER_OFFSET + 4 + 20 + SIZE_OF_OPTIONAL_HEADER
SECTION_HEADER_SIZE = 40

DEFAULT_SECTIONS = [(0x400, 0x1000), (0x1400, 0x600)]

# A fixed time stamp keeps the archives built here byte-for-byte reproducible.
FIXED_DATE_TIME = (2001, 2, 3, 4, 5, 6)


def image_end(sections):
    """The overlay offset of an image with these (pointer, size) sections: the largest
    raw-data end, whatever order the section table lists them in."""
    return max((ptr + size for ptr, size in sections), default=0)


def _filler(length, seed):
    """Deterministic bytes, none of them zero."""
    return bytes(((i * 7 + seed * 31 + 13) % 255) + 1 for i in range(length))


def build_pe_image(sections, total_size=None):
    """A minimal PE32 image: MZ header, PE headers, a section table with one 40-byte header
    per (pointer_to_raw_data, size_of_raw_data) pair, and non-zero filler as section data.

    The image runs to the largest raw-data end, or is cut or zero-extended to total_size.
    """
    header_end = SECTION_TABLE_OFFSET + SECTION_HEADER_SIZE * len(sections)
    end = max(image_end(sections), header_end)
    image = bytearray(end)

    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, PE_HEADER_OFFSET)
    image[0x40:0x40 + 39] = b"This program cannot be run in DOS mode."

    e = PE_HEADER_OFFSET
    image[e:e + 4] = b"PE\0\0"
    # IMAGE_FILE_HEADER: Machine, NumberOfSections, TimeDateStamp, PointerToSymbolTable,
    # NumberOfSymbols, SizeOfOptionalHeader, Characteristics.
    struct.pack_into("<HHIIIHH", image, e + 4, 0x14C, len(sections), 0, 0, 0,
                     SIZE_OF_OPTIONAL_HEADER, 0x0102)
    # A few optional header fields so the image looks the part.
    opt = e + 24
    struct.pack_into("<H", image, opt, 0x10B)            # Magic: PE32
    struct.pack_into("<I", image, opt + 28, 0x400000)    # ImageBase
    struct.pack_into("<I", image, opt + 32, 0x1000)      # SectionAlignment
    struct.pack_into("<I", image, opt + 36, 0x200)       # FileAlignment
    struct.pack_into("<I", image, opt + 60, 0x400)       # SizeOfHeaders
    struct.pack_into("<H", image, opt + 68, 2)           # Subsystem: Windows GUI
    struct.pack_into("<I", image, opt + 92, 16)          # NumberOfRvaAndSizes

    for index, (ptr, size) in enumerate(sections):
        h = SECTION_TABLE_OFFSET + SECTION_HEADER_SIZE * index
        name = (".sec%d" % index).encode("ascii")[:8]
        image[h:h + len(name)] = name
        struct.pack_into("<I", image, h + 8, size)                   # VirtualSize
        struct.pack_into("<I", image, h + 12, 0x1000 * (index + 1))  # VirtualAddress
        struct.pack_into("<I", image, h + 16, size)                  # SizeOfRawData
        struct.pack_into("<I", image, h + 20, ptr)                   # PointerToRawData
        struct.pack_into("<I", image, h + 36, 0x60000020)            # Characteristics
        if size:
            image[ptr:ptr + size] = _filler(size, index)

    if total_size is not None:
        if total_size < len(image):
            del image[total_size:]
        else:
            image.extend(bytes(total_size - len(image)))
    return bytes(image)


def build_archive(members, comment=b""):
    """A ZIP archive made by zipfile. members: (name, data, compress_type) triples; a name
    ending in "/" makes a directory entry (data and compress_type are then ignored)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for member in members:
            name, data, compress_type = member
            info = zipfile.ZipInfo(name, date_time=FIXED_DATE_TIME)
            if name.endswith("/"):
                info.external_attr = (0o40755 << 16) | 0x10
                info.compress_type = zipfile.ZIP_STORED
                archive.writestr(info, b"")
            else:
                info.external_attr = 0o644 << 16
                info.compress_type = compress_type
                archive.writestr(info, data)
        archive.comment = comment
    return buffer.getvalue()


def package_checksum(data):
    """Wrap-around 32-bit sum of the little-endian 32-bit words of data; a last partial
    word counts zero-extended."""
    whole = len(data) - len(data) % 4
    total = 0
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        total += word
    if whole != len(data):
        total += int.from_bytes(data[whole:], "little")
    return total & 0xFFFFFFFF


def seal(data):
    """data padded with zero bytes to a multiple of 4, then the word that brings the
    package checksum to zero."""
    data = bytes(data) + bytes(-len(data) % 4)
    return data + struct.pack("<I", (-package_checksum(data)) & 0xFFFFFFFF)


_seal = seal


def build_package(members, sections=None, comment=b"", seal=True):
    """An image built from sections (DEFAULT_SECTIONS when None) with the archive of
    members behind it, sealed unless seal is false."""
    image = build_pe_image(DEFAULT_SECTIONS if sections is None else sections)
    data = image + build_archive(members, comment)
    return _seal(data) if seal else data


def sample_members():
    """A few files as a product might ship them."""
    readme = b"Zor sample product\r\n\r\nThis package was built for testing.\r\n" * 4
    library = b"MZ" + bytes(range(256)) * 24 + b"\0" * 512
    return [
        ("Zor/", b"", zipfile.ZIP_STORED),
        ("Zor/readme.txt", readme, zipfile.ZIP_DEFLATED),
        ("Zor/bin/", b"", zipfile.ZIP_STORED),
        ("Zor/bin/zor.dll", library, zipfile.ZIP_DEFLATED),
        ("Zor/bin/zor.cfg", b"[zor]\r\nmode=standard\r\n", zipfile.ZIP_STORED),
    ]


def members_from_options(parser, items):
    """Deflated members from --member NAME=PATH options; a malformed one is a usage error."""
    members = []
    for item in items:
        name, sep, path = item.partition("=")
        if not sep or not name or not path:
            parser.error("--member takes NAME=PATH, got %r" % item)
        with open(path, "rb") as f:
            members.append((name, f.read(), zipfile.ZIP_DEFLATED))
    return members


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a sealed install package for tests.")
    parser.add_argument("output", metavar="OUT.exe", help="package file to write")
    parser.add_argument("--member", action="append", default=[], metavar="NAME=PATH",
                        help="add the file at PATH as member NAME (deflated); repeatable")
    parser.add_argument("--sample", action="store_true",
                        help="add a few sample product files and directory entries")
    parser.add_argument("--comment", default="", help="archive comment")
    args = parser.parse_args(argv)

    members = sample_members() if args.sample else []
    members += members_from_options(parser, args.member)

    package = build_package(members, comment=args.comment.encode("utf-8"))
    with open(args.output, "wb") as f:
        f.write(package)

    print("wrote %s: %d bytes, image %d bytes, %d member(s), checksum %08x" % (
        args.output, len(package), image_end(DEFAULT_SECTIONS), len(members),
        package_checksum(package)))
    for name, data, _ in members:
        print("  %s (%d bytes)" % (name, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
