// libFuzzer target: what the next command does with the journal an interrupted in-place change
// left, when both the journal and the file at the package's path may be anything. A model of
// the journal of our own says what must happen: a journal that is not whole is discarded and
// the file left alone; a whole one is rolled back only into a file whose kept bytes prove to be
// those it recorded, and then the file becomes exactly the package it was written from; any
// other file is left byte for byte and the journal set aside. Where the journal is the genuine
// one and the kept bytes the genuine ones, the result must be the original package, sealed,
// with every member read back.
//
// Input: a flags byte, two bytes that choose where the tail begins, then the body.
//   bits 0-1  the file at the package's path: 0 the original with its tail overwritten by the
//             body, 1 the original with the body's edits (offset, xor) applied, 2 the body
//             itself, 3 the original
//   bit 2     the body's edits are applied to the journal as well
//   bit 3     the journal is cut to the length the body's first two bytes give
//   bit 4     which of the two original packages
//   bit 5     the journal's CRC is made right again after the edits, so that hostile fields
//             get past it; without bits 5 and 6 the CRC is left as the edits left it
//   bit 6     as bit 5, once the journal's sizes are made to agree with its length and its
//             record of the kept bytes with the file: the journal then passes every check it
//             makes of itself, whatever its tail's place says
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "package/journal.h"
#include "platform/file.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/package_input.h"
#include "tests/fuzz/zip_reader.h"

namespace {

using fuzzcheck::Bytes;
using fuzzcheck::Hex;

std::string g_folder;
std::string g_packagePath;
std::string g_journalPath;
std::string g_setAsidePath;
Bytes g_originals[2];

// A stored ZIP member archive of our own making, behind the fixed image, sealed.
Bytes MakeOriginal(uint32_t seed, int members) {
    Bytes archive;
    Bytes directory;
    for (int m = 0; m < members; ++m) {
        const std::string name = "Zor/member" + std::to_string(m) + ".bin";
        Bytes content(300 + 1700 * m);
        for (size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<uint8_t>((i * 131 + seed * 7 + m) >> 3);
        }
        const uint32_t crc = static_cast<uint32_t>(crc32(0, content.data(), content.size()));
        uint8_t local[30] = {};
        fuzzcheck::Put32(local, 0x04034B50);
        fuzzcheck::Put16(local + 4, 20);
        fuzzcheck::Put32(local + 14, crc);
        fuzzcheck::Put32(local + 18, static_cast<uint32_t>(content.size()));
        fuzzcheck::Put32(local + 22, static_cast<uint32_t>(content.size()));
        fuzzcheck::Put16(local + 26, static_cast<uint16_t>(name.size()));
        uint8_t central[46] = {};
        fuzzcheck::Put32(central, 0x02014B50);
        fuzzcheck::Put16(central + 4, 20);
        fuzzcheck::Put16(central + 6, 20);
        fuzzcheck::Put32(central + 16, crc);
        fuzzcheck::Put32(central + 20, static_cast<uint32_t>(content.size()));
        fuzzcheck::Put32(central + 24, static_cast<uint32_t>(content.size()));
        fuzzcheck::Put16(central + 28, static_cast<uint16_t>(name.size()));
        fuzzcheck::Put32(central + 42, static_cast<uint32_t>(archive.size()));
        archive.insert(archive.end(), local, local + 30);
        archive.insert(archive.end(), name.begin(), name.end());
        archive.insert(archive.end(), content.begin(), content.end());
        directory.insert(directory.end(), central, central + 46);
        directory.insert(directory.end(), name.begin(), name.end());
    }
    uint8_t end[22] = {};
    fuzzcheck::Put32(end, 0x06054B50);
    fuzzcheck::Put16(end + 8, static_cast<uint16_t>(members));
    fuzzcheck::Put16(end + 10, static_cast<uint16_t>(members));
    fuzzcheck::Put32(end + 12, static_cast<uint32_t>(directory.size()));
    fuzzcheck::Put32(end + 16, static_cast<uint32_t>(archive.size()));
    archive.insert(archive.end(), directory.begin(), directory.end());
    archive.insert(archive.end(), end, end + 22);
    return fuzzcheck::MakePackage(fuzzcheck::MakeFixedImage(), archive.data(), archive.size(),
                                  false, true);
}

// The journal as our model reads it.
struct ModelJournal {
    enum Kind { Unfinished, FirstFormat, Whole } kind = Unfinished;
    uint64_t packageSize = 0;
    uint64_t tailAt = 0;
    uint32_t keptCrc = 0;
    uint32_t keptSum = 0;
    Bytes tail;
};

uint64_t Get64(const uint8_t* at) {
    return fuzzcheck::Get32(at) | uint64_t{fuzzcheck::Get32(at + 4)} << 32;
}

void Put64(uint8_t* at, uint64_t value) {
    fuzzcheck::Put32(at, static_cast<uint32_t>(value));
    fuzzcheck::Put32(at + 4, static_cast<uint32_t>(value >> 32));
}

// Bits 5 and 6 of the flags: the header (40 bytes, as ReadModel reads it) made to agree.
void Reseal(Bytes& journal, const Bytes& file, uint8_t flags) {
    if ((flags & 0x60) == 0 || journal.size() < 40) {
        return;
    }
    const uint32_t tailLength = static_cast<uint32_t>(journal.size() - 40);
    if (flags & 0x40) {
        const uint64_t tailAt = Get64(&journal[16]);
        Put64(&journal[8], tailAt + tailLength);
        fuzzcheck::Put32(&journal[24], tailLength);
        if (tailAt <= file.size()) {
            const uint64_t stretch = std::min<uint64_t>(tailAt, 4096);
            fuzzcheck::Put32(&journal[28],
                             static_cast<uint32_t>(crc32(0, file.data() + tailAt - stretch,
                                                         static_cast<uInt>(stretch))));
            fuzzcheck::Put32(&journal[32], fuzzcheck::WordSum(file.data(), tailAt));
        }
    }
    uLong crc = crc32(0, journal.data(), 36);
    crc = crc32(crc, journal.data() + 40, tailLength);
    fuzzcheck::Put32(&journal[36], static_cast<uint32_t>(crc));
}

ModelJournal ReadModel(const Bytes& journal) {
    ModelJournal model;
    if (journal.size() >= 8 && std::equal(journal.begin(), journal.begin() + 8, "KTLJRNL1")) {
        model.kind = ModelJournal::FirstFormat;
        return model;
    }
    if (journal.size() < 40 || !std::equal(journal.begin(), journal.begin() + 8, "KTLJRNL2")) {
        return model;
    }
    model.packageSize = Get64(&journal[8]);
    model.tailAt = Get64(&journal[16]);
    const uint32_t tailLength = fuzzcheck::Get32(&journal[24]);
    model.keptCrc = fuzzcheck::Get32(&journal[28]);
    model.keptSum = fuzzcheck::Get32(&journal[32]);
    if (journal.size() != 40 + uint64_t{tailLength} ||
        model.tailAt + tailLength != model.packageSize) {
        return model;
    }
    uLong crc = crc32(0, journal.data(), 36);
    crc = crc32(crc, journal.data() + 40, tailLength);
    if (crc != fuzzcheck::Get32(&journal[36])) {
        return model;
    }
    model.tail.assign(journal.begin() + 40, journal.end());
    model.kind = ModelJournal::Whole;
    return model;
}

bool Proves(const Bytes& file, const ModelJournal& journal) {
    if (file.size() < journal.tailAt) {
        return false;
    }
    const uint64_t stretch = std::min<uint64_t>(journal.tailAt, 4096);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, file.data() + journal.tailAt - stretch, static_cast<uInt>(stretch)));
    return crc == journal.keptCrc &&
           fuzzcheck::WordSum(file.data(), journal.tailAt) == journal.keptSum;
}

// Every member of a package that we built reads back with its CRC.
std::string ReadBack(const Bytes& package) {
    const Bytes archive(package.begin() + 0x400, package.end() - 4);
    const std::vector<fuzzcheck::EndRecord> ends = fuzzcheck::FindEndRecords(archive);
    if (ends.empty()) {
        return "no end record";
    }
    const fuzzcheck::DirectoryWalk walk = fuzzcheck::WalkDirectory(archive, ends.back());
    if (!walk.problem.empty() || walk.entries.empty()) {
        return "directory: " + walk.problem;
    }
    for (const fuzzcheck::CentralEntry& entry : walk.entries) {
        fuzzcheck::MemberRead read =
            fuzzcheck::ReadMember(archive, entry, ends.back().directoryOffset);
        if (!read.problem.empty()) {
            return entry.name + ": " + read.problem;
        }
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = fuzzcheck::MakeSubfolder(fuzzcheck::MakeWorkFolder("ktl-recovery-fuzz"), "package");
    g_packagePath = g_folder + "/ZorSetup.exe";
    g_journalPath = g_packagePath + ".ktl-journal";
    g_setAsidePath = g_packagePath + ".stale-ktl-journal";
    g_originals[0] = MakeOriginal(1, 3);
    g_originals[1] = MakeOriginal(2, 6);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    fuzzcheck::ArmFileSizeCap();
    fuzzcheck::EmptyFolder(g_folder);
    const uint8_t flags = data[0];
    const Bytes& original = g_originals[(flags >> 4) & 1];
    const uint64_t tailAt = (data[1] | data[2] << 8) % original.size() + 1;
    const uint8_t* body = data + 3;
    const size_t bodySize = size - 3;

    // The genuine journal, written by the engine from the original package.
    if (!fuzzcheck::WriteWholeFile(g_packagePath, original)) {
        return 0;
    }
    {
        platform::File file;
        if (!file.Open(g_packagePath.c_str(), platform::Access::Read,
                       platform::Disposition::OpenExisting) ||
            !package::WriteJournal(g_journalPath.c_str(), file, 0, tailAt, original.data() + tailAt,
                                   static_cast<uint32_t>(original.size() - tailAt))) {
            fuzzcheck::Finding("recovery.cannot-write-journal", "tail at " + Hex(tailAt), data,
                               size);
            return 0;
        }
    }
    Bytes journal;
    if (!fuzzcheck::ReadWholeFile(g_journalPath, journal, 1u << 20)) {
        return 0;
    }
    const Bytes genuineJournal = journal;

    Bytes file;
    auto applyEdits = [&](Bytes& target) {
        for (size_t i = 0; i + 3 <= bodySize && !target.empty(); i += 3) {
            target[(body[i] | body[i + 1] << 8) % target.size()] ^= body[i + 2];
        }
    };
    switch (flags & 3) {
        case 0:
            file.assign(original.begin(), original.begin() + tailAt);
            file.insert(file.end(), body, body + bodySize);
            break;
        case 1:
            file = original;
            applyEdits(file);
            break;
        case 2:
            file.assign(body, body + bodySize);
            break;
        default:
            file = original;
            break;
    }
    if (flags & 4) {
        applyEdits(journal);
    }
    if ((flags & 8) && bodySize >= 2) {
        journal.resize(std::min<size_t>(journal.size(), body[0] | body[1] << 8));
    }
    Reseal(journal, file, flags);
    if (!fuzzcheck::WriteWholeFile(g_packagePath, file) ||
        !fuzzcheck::WriteWholeFile(g_journalPath, journal)) {
        return 0;
    }

    const ModelJournal model = ReadModel(journal);
    package::RecoveryReport report;
    const package::Recovery outcome = package::RecoverPackage(g_packagePath.c_str(), &report);
    const std::string told = "recovery " + std::to_string(static_cast<int>(outcome)) +
                             ", tail at " + Hex(tailAt) + ", file of " + Hex(file.size());
    Bytes after;
    fuzzcheck::ReadWholeFile(g_packagePath, after, 8u << 20);

    package::Recovery expected = package::Recovery::Discarded;
    Bytes expectedFile = file;
    if (model.kind == ModelJournal::FirstFormat) {
        expected = package::Recovery::SetAside;
    } else if (model.kind == ModelJournal::Whole) {
        if (Proves(file, model)) {
            expected = package::Recovery::RolledBack;
            expectedFile.assign(file.begin(), file.begin() + model.tailAt);
            expectedFile.insert(expectedFile.end(), model.tail.begin(), model.tail.end());
        } else {
            expected = package::Recovery::SetAside;
        }
    }
    if (outcome != expected) {
        fuzzcheck::Finding("recovery.outcome",
                           told + ", expected " + std::to_string(static_cast<int>(expected)), data,
                           size);
    }
    if (after != expectedFile) {
        fuzzcheck::Finding(after == file ? "recovery.not-restored" : "recovery.wrong-file", told,
                           data, size);
    }
    // The genuine journal over the genuine kept bytes gives back the original, whole.
    const bool keptIntact = file.size() >= tailAt &&
                            std::equal(original.begin(), original.begin() + tailAt, file.begin());
    if (journal == genuineJournal && keptIntact) {
        if (after != original) {
            fuzzcheck::Finding("recovery.original-not-restored", told, data, size);
        } else if (const std::string problem = ReadBack(after); !problem.empty()) {
            fuzzcheck::Finding("recovery.original-unreadable", problem, data, size);
        }
    }
    std::vector<std::string> expectedNames = {"ZorSetup.exe"};
    if (expected == package::Recovery::SetAside) {
        expectedNames.push_back("ZorSetup.exe.stale-ktl-journal");
        Bytes kept;
        if (!fuzzcheck::ReadWholeFile(g_setAsidePath, kept, 1u << 20) || kept != journal) {
            fuzzcheck::Finding("recovery.journal-not-kept", told, data, size);
        }
    }
    if (fuzzcheck::ListFolder(g_folder) != expectedNames) {
        fuzzcheck::Finding("recovery.files",
                           told + " left " + fuzzcheck::JoinNames(fuzzcheck::ListFolder(g_folder)),
                           data, size);
    }
    return 0;
}
