"""Malformed install packages, each with a name and the outcome that ktl owes it.

Every case is one entry of CASES: (name, builder, expected). A builder returns a Sample, a
sealed package (checksum zero, so no case stops at the damaged-package question) and what the
judge needs to know about it. `expected` is Refused (insert exits with that status and writes
nothing) or Accepted (insert succeeds and the result is a valid ZIP archive to zipfile).

The packages are built with zipfile and by hand, never with ktl's own code. test_malformed.py
runs them.
"""

import struct
import zipfile
from dataclasses import dataclass, field
from typing import List, Optional

from test_ktl import (END_RECORD, END_SEARCH_WINDOW, END_SIGNATURE, EXIT_FAILED, LOCAL_HEADER,
                      SAMPLE_MEMBERS, mtp, parse_central_directory, stored_inner_zip)

MIB = 1024 * 1024
PE32_PLUS_MAGIC = 0x20B
PE32_PLUS_OPTIONAL_HEADER = 240
# From the PE signature: the 20-byte file header, then the optional header.
FILE_HEADER_AT = 4
OPTIONAL_HEADER_AT = 24
SECTION_TABLE_AT = mtp.SECTION_TABLE_OFFSET - mtp.PE_HEADER_OFFSET  # 248, a PE32 image's

NEW_NAME = "InstallScript/auto2.ins"
NEW_DATA = b"[Setup]\r\nSilence=1\r\nComponents=core,docs\r\n" * 25
# 14 + 241 + 4 bytes: the longest name that a 260-byte buffer holds with its zero.
NAME_259 = "InstallScript/" + "n" * 241 + ".ins"
NAME_260 = "InstallScript/" + "n" * 242 + ".ins"


# --------------------------------------------------------------------------------------------
# Expected outcomes
# --------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Refused:
    """insert exits with `status`, one line on stderr, nothing written. `package_fault`: the
    package itself is at fault, so `ktl verify` must fail on it too; otherwise only the new
    member's name is, and verify must pass. `says`: a word the failure line must hold."""
    status: int = EXIT_FAILED
    package_fault: bool = True
    says: Optional[str] = None


@dataclass(frozen=True)
class Accepted:
    """insert exits 0 and the output is a valid archive. `unzip`: whether `unzip -t` can judge
    it (it would ask for a password for an encrypted member)."""
    unzip: bool = True


REFUSED = Refused()
NAME_REFUSED = Refused(package_fault=False)
ACCEPTED = Accepted()


@dataclass
class Sample:
    package: bytes          # sealed
    overlay: int            # where the member archive begins
    end_at: int             # where its end record begins (the real one)
    names: List[str]        # the members' names as stored, in directory order
    new_name: str = NEW_NAME
    encrypted: List[str] = field(default_factory=list)  # members zipfile cannot read


class PremiseError(Exception):
    """A builder did not make the package its case describes."""


def require(condition, text):
    if not condition:
        raise PremiseError(text)


# --------------------------------------------------------------------------------------------
# The member archive, open to damage field by field
# --------------------------------------------------------------------------------------------

# (offset in the record, struct format) of the fields the cases change.
END_FIELDS = dict(disk=(4, "H"), cd_disk=(6, "H"), disk_entries=(8, "H"), entries=(10, "H"),
                  cd_size=(12, "I"), cd_offset=(16, "I"), comment_length=(20, "H"))
ENTRY_FIELDS = dict(flags=(8, "H"), csize=(20, "I"), usize=(24, "I"), comment_length=(32, "H"),
                    disk=(34, "H"), offset=(42, "I"))
LOCAL_FIELDS = dict(flags=(6, "H"))


class Archive:
    """A ZIP archive made by zipfile (or given), with its end record and central entries
    located, so that single fields can be set. Given bytes need not be consistent: entries
    are then located by walking from the directory offset the end record names."""

    def __init__(self, members=SAMPLE_MEMBERS, comment=b"", data=None):
        self.data = bytearray(mtp.build_archive(members, comment) if data is None else data)
        self.names = [member[0] for member in members]
        # zipfile writes the record last; an inner archive's record lies before it.
        self.end_at = self.data.rfind(END_SIGNATURE)
        count = self.end("entries")
        self.entry_at = []
        pos = self.end("cd_offset")
        for entry in parse_central_directory(self.data, pos, count):
            self.entry_at.append(pos)
            pos += len(entry["raw"])

    def end(self, name, value=None):
        at, fmt = END_FIELDS[name]
        return self._field(self.end_at + at, fmt, value)

    def entry(self, index, name, value=None):
        at, fmt = ENTRY_FIELDS[name]
        return self._field(self.entry_at[index] + at, fmt, value)

    def local(self, index, name, value=None):
        at, fmt = LOCAL_FIELDS[name]
        return self._field(self.entry(index, "offset") + at, fmt, value)

    def _field(self, pos, fmt, value):
        if value is not None:
            struct.pack_into("<" + fmt, self.data, pos, value)
        return struct.unpack_from("<" + fmt, self.data, pos)[0]

    def insert_before_end(self, junk):
        """Puts bytes between the directory and the end record; no field changes."""
        self.data[self.end_at:self.end_at] = junk
        self.end_at += len(junk)

    def relocate(self, delta):
        """Makes every offset count from `delta` bytes before the archive's first byte."""
        for index in range(len(self.entry_at)):
            self.entry(index, "offset", self.entry(index, "offset") + delta)
        self.end("cd_offset", self.end("cd_offset") + delta)

    def file_entry(self, name):
        return self.names.index(name)


def package(archive, image=None, trailer=b"", overlay=None, **sample_fields):
    """The sealed package: image, archive, trailing bytes, pad bytes and checksum word."""
    if image is None:
        image = mtp.build_pe_image(mtp.DEFAULT_SECTIONS)
    names = sample_fields.pop("names", archive.names)
    return Sample(package=mtp.seal(bytes(image) + bytes(archive.data) + trailer),
                  overlay=len(image) if overlay is None else overlay,
                  end_at=len(image) + archive.end_at, names=names, **sample_fields)


def streamed_archive(members):
    """zipfile writing to a stream it cannot seek back in: every member then carries the
    data-descriptor flag, zero sizes in its local header and a descriptor behind its data."""
    class Stream:
        def __init__(self):
            self.data = bytearray()

        def write(self, chunk):
            self.data += chunk
            return len(chunk)

        def flush(self):
            pass

    stream = Stream()
    with zipfile.ZipFile(stream, "w") as archive:
        for name, data, method in members:
            info = zipfile.ZipInfo(name, date_time=mtp.FIXED_DATE_TIME)
            info.compress_type = method
            archive.writestr(info, data)
    return bytes(stream.data)


# --------------------------------------------------------------------------------------------
# The image, open to damage
# --------------------------------------------------------------------------------------------

def lfanew_of(image):
    return struct.unpack_from("<I", image, 0x3C)[0]


def section_count(image):
    return struct.unpack_from("<H", image, lfanew_of(image) + 6)[0]


def move_pe_headers(image, lfanew):
    """The image with its signature, file and optional headers and section table moved to
    `lfanew` (the file grows if they would run past its end)."""
    image = bytearray(image)
    old = lfanew_of(image)
    size = SECTION_TABLE_AT + mtp.SECTION_HEADER_SIZE * section_count(image)
    block = bytes(image[old:old + size])
    image[old:old + size] = bytes(size)
    if len(image) < lfanew + size:
        image.extend(bytes(lfanew + size - len(image)))
    image[lfanew:lfanew + size] = block
    struct.pack_into("<I", image, 0x3C, lfanew)
    return image


def set_section(image, index, pointer, size):
    at = lfanew_of(image) + SECTION_TABLE_AT + mtp.SECTION_HEADER_SIZE * index
    struct.pack_into("<II", image, at + 16, size, pointer)


def to_pe32_plus(image, mimic_pe32_table=False):
    """A PE32+ image: magic 0x20B, a 240-byte optional header, so the section table starts 16
    bytes further on than a PE32 reader looks. With `mimic_pe32_table` each section's name
    holds its own raw size and pointer, just where a PE32 reader looking 16 bytes early would
    take them from, so such a reader finds the right image end by accident."""
    image = bytearray(image)
    e = lfanew_of(image)
    count = section_count(image)
    table_at = e + SECTION_TABLE_AT
    table = bytes(image[table_at:table_at + mtp.SECTION_HEADER_SIZE * count])
    struct.pack_into("<H", image, e + FILE_HEADER_AT + 16, PE32_PLUS_OPTIONAL_HEADER)
    struct.pack_into("<H", image, e + OPTIONAL_HEADER_AT, PE32_PLUS_MAGIC)
    new_at = e + OPTIONAL_HEADER_AT + PE32_PLUS_OPTIONAL_HEADER
    require(new_at + len(table) <= mtp.DEFAULT_SECTIONS[0][0], "the moved table hits section data")
    image[table_at:new_at] = bytes(new_at - table_at)
    image[new_at:new_at + len(table)] = table
    if mimic_pe32_table:
        for index in range(count):
            header = new_at + mtp.SECTION_HEADER_SIZE * index
            size, pointer = struct.unpack_from("<II", image, header + 16)
            struct.pack_into("<II", image, header, size, pointer)
    return image


# --------------------------------------------------------------------------------------------
# Builders: the image
# --------------------------------------------------------------------------------------------

# Section data starts a little past the first MiB, so that headers near the limit never
# overlap it.
FAR_SECTIONS = [(MIB + 0x200, 0x200)]
FAR_HEADERS_SIZE = SECTION_TABLE_AT + mtp.SECTION_HEADER_SIZE * len(FAR_SECTIONS)


def image_not_mz():
    image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
    image[0:2] = b"ZM"
    return package(Archive(), image)


def image_no_pe_signature():
    image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
    image[mtp.PE_HEADER_OFFSET:mtp.PE_HEADER_OFFSET + 4] = b"PE\0\1"
    return package(Archive(), image)


def far_image(lfanew):
    image = move_pe_headers(mtp.build_pe_image(FAR_SECTIONS), lfanew)
    require(len(image) == mtp.image_end(FAR_SECTIONS), "headers beyond the section data")
    return image


def image_lfanew_at_limit():
    # The section table's last byte is the first MiB's last byte.
    return package(Archive(), far_image(MIB - FAR_HEADERS_SIZE))


def image_lfanew_past_limit():
    # The same, 8 bytes further on: the table's last 8 bytes lie beyond the first MiB.
    return package(Archive(), far_image(MIB - FAR_HEADERS_SIZE + 8))


def image_signature_past_limit():
    return package(Archive(), far_image(MIB + 0x40))


def image_lfanew_past_eof():
    image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
    struct.pack_into("<I", image, 0x3C, 0x00F00000)
    return package(Archive(), image)


def image_section_table_past_eof():
    image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS))
    archive = Archive()
    table_at = mtp.SECTION_TABLE_OFFSET
    # Enough sections for the table to run past the sealed file's end, well inside a MiB.
    length = len(image) + len(archive.data) + 8
    count = (length - table_at) // mtp.SECTION_HEADER_SIZE + 1
    struct.pack_into("<H", image, mtp.PE_HEADER_OFFSET + 6, count)
    sample = package(archive, image)
    require(table_at + count * mtp.SECTION_HEADER_SIZE > len(sample.package), "table inside")
    return sample


def image_zero_sections_whole_file():
    # No sections: the image ends at byte 0 and the whole file is the member archive, so its
    # offsets count from the file's first byte, headers and all.
    image = mtp.build_pe_image([])
    archive = Archive()
    archive.relocate(len(image))
    return package(archive, image, overlay=0)


def image_zero_sections_zip_relative():
    # The same file with offsets counting from the ZIP's first byte behind the headers: seen
    # from byte 0, the directory does not end where the end record begins.
    return package(Archive(), mtp.build_pe_image([]))


def image_96_sections():
    sections = [(0x1200 + 0x40 * i, 0x40) for i in range(96)]
    return package(Archive(), mtp.build_pe_image(sections))


def image_raw_end_wraps():
    # A third section whose raw data would end at 2^32 + 0x1000; with 32-bit wrap-around its
    # end looks like 0x1000, before the other sections' end.
    image = bytearray(mtp.build_pe_image(mtp.DEFAULT_SECTIONS + [(0x1A00, 0)]))
    set_section(image, 2, 0xFFFFF000, 0x2000)
    return package(Archive(), image)


def image_pe32_plus():
    return package(Archive(), to_pe32_plus(mtp.build_pe_image(mtp.DEFAULT_SECTIONS)))


def image_pe32_plus_misread_table_fits():
    image = to_pe32_plus(mtp.build_pe_image(mtp.DEFAULT_SECTIONS), mimic_pe32_table=True)
    return package(Archive(), image)


# --------------------------------------------------------------------------------------------
# Builders: the end record and the directory
# --------------------------------------------------------------------------------------------

def damaged(**end_fields):
    """A builder: the sample archive with end record fields set; a callable value is applied
    to the archive to get the value."""
    def build():
        archive = Archive()
        for name, value in end_fields.items():
            archive.end(name, value(archive) if callable(value) else value)
        return package(archive)
    return build


def end_missing():
    archive = Archive()
    archive.data[archive.end_at:archive.end_at + 4] = b"PK\x05\x07"
    return package(archive)


def end_inner_archive_first():
    members = SAMPLE_MEMBERS + [("Zor/data/inner.zip", stored_inner_zip(30000),
                                 zipfile.ZIP_STORED)]
    sample = package(Archive(members))
    inner_end = sample.package.find(END_SIGNATURE, sample.overlay)
    require(inner_end < sample.end_at, "the inner end record is not the earlier one")
    require(inner_end >= len(sample.package) - END_SEARCH_WINDOW, "inner record out of reach")
    return sample


def end_stray_signature_behind():
    stray = END_SIGNATURE + bytes(range(1, 23))
    return package(Archive(), trailer=stray)


def end_comment_past_eof():
    archive = Archive(comment=b"Zor install package 1.0")
    archive.end("comment_length", 0xFFFF)
    return package(archive)


def dir_gap_before_end():
    archive = Archive()
    archive.insert_before_end(b"\x11" * 16)
    return package(archive)


def dir_junk_inside():
    # The directory, as the end record sizes it, ends where the record begins, but its
    # entries stop 12 bytes short of that.
    archive = Archive()
    archive.insert_before_end(b"\x22" * 12)
    archive.end("cd_size", archive.end("cd_size") + 12)
    return package(archive)


def dir_entry_overruns():
    # The last entry claims a comment that reaches into the end record.
    archive = Archive()
    archive.entry(len(archive.entry_at) - 1, "comment_length", 10)
    return package(archive)


def dir_wraps_to_record():
    # offset + size is the record's position modulo 2^32, and far past the file unwrapped.
    archive = Archive()
    archive.end("cd_offset", 0xFFFFFF00)
    archive.end("cd_size", archive.end_at + 0x100)
    return package(archive)


def dir_empty():
    return package(Archive(members=[]))


def dir_empty_wild_offset():
    archive = Archive(members=[])
    archive.end("cd_offset", 0x00ABCDEF)
    return package(archive)


def dir_empty_behind_members():
    # Local records and data, then an empty directory that claims to start at byte 0.
    archive = Archive()
    cd_offset = archive.end("cd_offset")
    record = bytearray(archive.data[archive.end_at:archive.end_at + END_RECORD.size])
    struct.pack_into("<HHIIH", record, 8, 0, 0, 0, 0, 0)
    empty = Archive(members=[], data=bytes(archive.data[:cd_offset]) + bytes(record))
    return package(empty)


# --------------------------------------------------------------------------------------------
# Builders: entries
# --------------------------------------------------------------------------------------------

README = "Zor/readme.txt"


def entry_damaged(name, value):
    """A builder: the readme's central entry with one field set; a callable value gets the
    archive and the entry's index."""
    def build():
        archive = Archive()
        index = archive.file_entry(README)
        archive.entry(index, name, value(archive, index) if callable(value) else value)
        return package(archive)
    return build


def local_record_size(archive, index):
    return LOCAL_HEADER.size + len(archive.names[index].encode("ascii"))


def entry_encrypted():
    archive = Archive()
    index = archive.file_entry(README)
    for record in (archive.entry, archive.local):
        record(index, "flags", record(index, "flags") | 0x1)
    return package(archive, encrypted=[README])


def entry_data_descriptors():
    members = [m for m in SAMPLE_MEMBERS if not m[0].endswith("/")]
    archive = Archive(members, data=streamed_archive(members))
    require(all(archive.entry(i, "flags") & 0x8 for i in range(len(members))),
            "zipfile wrote no data descriptors")
    return package(archive)


# --------------------------------------------------------------------------------------------
# Builders: names
# --------------------------------------------------------------------------------------------

def with_members(*extra):
    def build():
        return package(Archive(SAMPLE_MEMBERS + [(name, b"data of " + name.encode(), 8)
                                                  for name in extra]))
    return build


def new_name(name):
    def build():
        sample = package(Archive())
        sample.new_name = name
        return sample
    return build


# --------------------------------------------------------------------------------------------
# The table
# --------------------------------------------------------------------------------------------

CASES = [
    # The image
    ("image.not_mz", image_not_mz, REFUSED),
    ("image.no_pe_signature", image_no_pe_signature, REFUSED),
    ("image.lfanew_at_limit", image_lfanew_at_limit, ACCEPTED),
    ("image.lfanew_past_limit", image_lfanew_past_limit, REFUSED),
    ("image.signature_past_limit", image_signature_past_limit, REFUSED),
    ("image.lfanew_past_eof", image_lfanew_past_eof, REFUSED),
    ("image.section_table_past_eof", image_section_table_past_eof, REFUSED),
    ("image.zero_sections_whole_file", image_zero_sections_whole_file, ACCEPTED),
    ("image.zero_sections_zip_relative", image_zero_sections_zip_relative, REFUSED),
    ("image.sections_96", image_96_sections, ACCEPTED),
    ("image.raw_end_wraps", image_raw_end_wraps, REFUSED),
    # A 64-bit image is read at its own section table, 16 bytes further on.
    ("image.pe32_plus", image_pe32_plus, ACCEPTED),
    ("image.pe32_plus_misread_table_fits", image_pe32_plus_misread_table_fits, ACCEPTED),

    # The end record
    ("end.missing", end_missing, REFUSED),
    ("end.inner_archive_record_first", end_inner_archive_first, ACCEPTED),
    ("end.stray_signature_behind", end_stray_signature_behind, ACCEPTED),
    ("end.comment_past_eof", end_comment_past_eof, ACCEPTED),

    # The directory named by the end record
    ("dir.offset_past_record", damaged(cd_offset=lambda a: a.end("cd_offset") + 0x10), REFUSED),
    ("dir.size_past_record", damaged(cd_size=lambda a: a.end("cd_size") + 0x10), REFUSED),
    ("dir.size_short_of_record", damaged(cd_size=lambda a: a.end("cd_size") - 0x10), REFUSED),
    ("dir.offset_past_eof", damaged(cd_offset=0x7FFF0000), REFUSED),
    ("dir.size_past_eof", damaged(cd_size=0x7FFF0000), REFUSED),
    ("dir.offset_size_wrap_to_record", dir_wraps_to_record, REFUSED),
    ("dir.gap_before_end_record", dir_gap_before_end, REFUSED),
    ("dir.empty", dir_empty, ACCEPTED),
    ("dir.empty_wild_offset", dir_empty_wild_offset, REFUSED),
    ("dir.empty_behind_members", dir_empty_behind_members, REFUSED),
    ("dir.junk_after_entries", dir_junk_inside, REFUSED),
    ("dir.entry_overruns_directory", dir_entry_overruns, REFUSED),
    ("dir.counts_above_entries", damaged(disk_entries=7, entries=7), REFUSED),
    ("dir.counts_below_entries", damaged(disk_entries=5, entries=5), REFUSED),
    ("dir.total_differs_from_disk_count", damaged(entries=7), REFUSED),
    ("dir.disk_count_differs_from_total", damaged(disk_entries=5), REFUSED),
    ("dir.this_disk_not_zero", damaged(disk=1), REFUSED),
    ("dir.directory_disk_not_zero", damaged(cd_disk=1), REFUSED),
    ("dir.zip64_counts", damaged(disk_entries=0xFFFF, entries=0xFFFF), REFUSED),
    ("dir.zip64_size", damaged(cd_size=0xFFFFFFFF), REFUSED),
    ("dir.zip64_offset", damaged(cd_offset=0xFFFFFFFF), REFUSED),

    # Central entries
    ("entry.zip64_compressed_size", entry_damaged("csize", 0xFFFFFFFF), REFUSED),
    ("entry.zip64_uncompressed_size", entry_damaged("usize", 0xFFFFFFFF), REFUSED),
    ("entry.zip64_local_offset", entry_damaged("offset", 0xFFFFFFFF), REFUSED),
    ("entry.disk_start_not_zero", entry_damaged("disk", 1), REFUSED),
    ("entry.local_offset_at_directory",
     entry_damaged("offset", lambda a, i: a.end("cd_offset")), REFUSED),
    ("entry.local_offset_past_directory",
     entry_damaged("offset", lambda a, i: a.end("cd_offset") + 0x20), REFUSED),
    ("entry.local_record_reaches_directory",
     entry_damaged("offset", lambda a, i: a.end("cd_offset") - local_record_size(a, i) + 1),
     REFUSED),
    ("entry.encrypted_flag", entry_encrypted, Accepted(unzip=False)),
    ("entry.data_descriptors", entry_data_descriptors, ACCEPTED),

    # Names: existing members are only copied, new ones must be safe to extract
    ("name.existing_dotdot", with_members("../outside.txt", "Zor/../up.txt"), ACCEPTED),
    ("name.existing_rooted", with_members("/etc/zor.cfg", "\\Windows\\zor.ini"), ACCEPTED),
    ("name.existing_drive", with_members("C:\\Zor\\drive.txt", "D:relative.txt"), ACCEPTED),
    # No name this tool makes is that long, so it is never a duplicate; it is copied as it is.
    ("name.existing_260_bytes", with_members("Zor/" + "x" * 252 + ".txt"), ACCEPTED),
    ("name.new_dotdot", new_name("..\\evil.ins"), NAME_REFUSED),
    ("name.new_inner_dotdot", new_name("InstallScript/../../evil.ins"), NAME_REFUSED),
    ("name.new_only_dotdot", new_name(".."), NAME_REFUSED),
    ("name.new_dots_not_a_component", new_name("InstallScript/..auto2..ins"), ACCEPTED),
    ("name.new_rooted_backslash", new_name("\\evil.ins"), NAME_REFUSED),
    ("name.new_rooted_slash", new_name("/evil.ins"), NAME_REFUSED),
    ("name.new_drive", new_name("C:evil.ins"), NAME_REFUSED),
    ("name.new_drive_rooted", new_name("C:\\Zor\\evil.ins"), NAME_REFUSED),
    ("name.new_259_bytes", new_name(NAME_259), ACCEPTED),
    ("name.new_260_bytes", new_name(NAME_260), NAME_REFUSED),
]

assert len(NAME_259) == 259 and len(NAME_260) == 260
assert len({name for name, _, _ in CASES}) == len(CASES), "case names repeat"
