#!/usr/bin/env python3
"""Builds a runnable install package from the setup stand-in's executable image.

The package is the image, a member archive of sample product files (plus any extra
members) behind it, zero pad bytes to a multiple of 4 and the closing checksum word. Unlike
make_test_package.py's synthetic image, the image here is a real program, so the result runs
and installs the members it carries.

    python3 tools/make_package.py --image build/win32/ZorSetup.exe OUT.exe \\
        [--member NAME=PATH ...]
"""

import argparse
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_test_package  # noqa: E402


def image_end(image):
    """Where the executable image's last section's raw data ends: the overlay offset a
    package reader computes. Raises ValueError when the bytes are no PE image."""
    if len(image) < 0x40 or image[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if pe + 24 > len(image) or image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    count, = struct.unpack_from("<H", image, pe + 6)
    optional_size, = struct.unpack_from("<H", image, pe + 20)
    table = pe + 24 + optional_size
    if table + 40 * count > len(image):
        raise ValueError("the section table reaches past the end of the image")
    end = 0
    for index in range(count):
        size, pointer = struct.unpack_from("<II", image, table + 40 * index + 16)
        if size:
            end = max(end, pointer + size)
    return end


def build_package(image, members):
    """The sealed package: image, archive of (name, data, compress_type) members, seal."""
    end = image_end(image)
    if end != len(image):
        raise ValueError("the image is %d bytes but its sections end at %d: link it stripped "
                         "(-s) so that the member archive can follow it" % (len(image), end))
    return make_test_package.seal(image + make_test_package.build_archive(members))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a runnable install package.")
    parser.add_argument("--image", required=True, metavar="EXE",
                        help="the setup stand-in's executable (ZorSetup.exe)")
    parser.add_argument("output", metavar="OUT.exe", help="package file to write")
    parser.add_argument("--member", action="append", default=[], metavar="NAME=PATH",
                        help="add the file at PATH as member NAME (deflated); repeatable")
    args = parser.parse_args(argv)

    members = make_test_package.sample_members()
    members += make_test_package.members_from_options(parser, args.member)

    with open(args.image, "rb") as f:
        image = f.read()
    try:
        package = build_package(image, members)
    except ValueError as error:
        parser.error("%s: %s" % (args.image, error))
    with open(args.output, "wb") as f:
        f.write(package)

    print("wrote %s: %d bytes, image %d bytes, %d member(s), checksum %08x" % (
        args.output, len(package), len(image), len(members),
        make_test_package.package_checksum(package)))
    for name, data, _ in members:
        print("  %s (%d bytes)" % (name, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
