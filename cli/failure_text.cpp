#include "cli/failure_text.h"

#include <cstdio>
#include <optional>

#include "cli/system_error.h"
#include "package/package_archive.h"
#include "package/package_lock.h"

namespace cli {
namespace {

constexpr const char* kNameTooLongOrEmpty =
    "a path or the member name is too long (259 bytes at most), or the member name is empty";

// `written` is the file the change was writing: the output, or the package in place.
std::string ArchiveFailure(int error, const char* package, const char* file, const char* written) {
    switch (static_cast<package::ArchiveError>(error)) {
        case package::ArchiveError::CannotReadSource:
            return "cannot read " + Quoted(file);
        case package::ArchiveError::NoEndRecord:
            return Quoted(package) + " holds no ZIP end record behind its image";
        case package::ArchiveError::BadDirectory:
            return "the member archive directory of " + Quoted(package) + " is damaged";
        case package::ArchiveError::TooManyEntries:
            return Quoted(package) + " already holds " +
                   std::to_string(package::kMostArchiveEntries) + " members, the most it can take";
        case package::ArchiveError::TooLarge:
            return "adding " + Quoted(file) + " would make the package 4 GiB or larger";
        case package::ArchiveError::CompressorFailed:
            return "the compressor failed on " + Quoted(file);
        default:
            return "cannot write " + Quoted(written);
    }
}

// A journal set aside: it names both files, so that the user can tell which is which.
std::string StaleJournalRefusal(const package::RecoveryReport& report) {
    return "the journal " + Quoted(report.journalPath) +
           " beside it was written for another package: nothing was rolled back, and the "
           "journal is kept as " +
           Quoted(report.setAsidePath);
}

// The refusals every command that opens a package shares; the insert and the extract name
// these steps alike. Nothing when `step` is another.
template <class Step>
std::optional<std::string> PackageRefusal(Step step, const char* package,
                                          package::ArchiveFault fault,
                                          const package::RecoveryReport& recovery) {
    switch (step) {
        case Step::Recover:
            return "an earlier change to " + Quoted(package) +
                   " was interrupted and cannot be rolled back (is it read-only?)";
        case Step::StaleJournal:
            return StaleJournalRefusal(recovery);
        case Step::InProgress:
            return "another change to " + Quoted(package) +
                   " is in progress (KTL_LOCK_WAIT sets how many seconds to wait for it)";
        case Step::JournalWithoutPackage:
            return Quoted(package) + " is missing or a folder, and the journal " +
                   Quoted(recovery.journalPath) +
                   " of an interrupted change stands beside it: nothing was rolled back";
        case Step::OpenPackage:
            return "cannot open or read " + Quoted(package);
        case Step::NotAnImage:
            return Quoted(package) + " is not a PE executable image, or its headers are damaged";
        case Step::NoOverlay:
            return Quoted(package) + " holds no member archive behind its image";
        case Step::BadArchive:
            return Quoted(package) + " is refused: " + package::DescribeArchiveFault(fault);
        case Step::NoSuchMember:
            return "no member of that name";
        case Step::OutOfMemory:
            return "not enough memory";
        default:
            return std::nullopt;
    }
}

std::string InsertStepFailure(const package::InsertDetail& detail, const std::string& refusal,
                              const char* package, const char* file, const char* output,
                              bool dryRun) {
    using package::InsertStep;
    const char* written = detail.path[0] != '\0' ? detail.path
                          : output != nullptr    ? output
                                                 : package;
    if (dryRun && detail.step == InsertStep::Recover) {
        return "an interrupted change left its journal " + Quoted(detail.recovery.journalPath) +
               " beside the package: a dry run rolls nothing back (any command without "
               "--dry-run does that first)";
    }
    if (auto known = PackageRefusal(detail.step, package, detail.archiveFault, detail.recovery)) {
        return *known;
    }
    switch (detail.step) {
        case InsertStep::BadArguments:
            return std::string(kNameTooLongOrEmpty) +
                   ", rooted, names a drive or holds a \"..\" component";
        case InsertStep::Declined:
            return Quoted(package) + (detail.signature.present
                                          ? " is signed, but its signature no longer matches "
                                            "it, and its checksum is not zero; not continued"
                                          : " is damaged (its checksum is not zero); not "
                                            "continued");
        case InsertStep::Duplicate:
            return refusal;
        case InsertStep::AddMember:
            return ArchiveFailure(detail.archiveError, package, file, written);
        case InsertStep::Rebuild:
            return "cannot write " + Quoted(written);
        case InsertStep::CreateOutput:
            return output != nullptr ? "cannot create " + Quoted(output)
                                     : "cannot create a new file beside " + Quoted(package);
        case InsertStep::NotDurable:
            return "the change is in " +
                   Quoted(detail.path[0] != '\0' ? detail.path
                          : output != nullptr    ? output
                                                 : package) +
                   ", but the system did not confirm that it is on the disk";
        default:
            break;
    }
    return "failed";
}

}  // namespace

std::string Quoted(const char* text) {
    return std::string("\"") + text + "\"";
}

void TellRecovery(const package::RecoveryReport& report, const char* package) {
    switch (report.outcome) {
        case package::Recovery::RolledBack:
            std::fprintf(stderr,
                         "ktl: %s: an interrupted change was rolled back: the package is as it "
                         "was before it\n",
                         Quoted(package).c_str());
            break;
        case package::Recovery::Discarded:
            std::fprintf(stderr,
                         "ktl: %s: the journal of an interrupted change was never finished and was "
                         "discarded: the package was not touched\n",
                         Quoted(package).c_str());
            break;
        default:
            break;
    }
}

void TellLockWaits() {
    class Notice : public package::LockWaitListener {
      public:
        void WaitingForChange(const char* package) override {
            std::fprintf(stderr,
                         "ktl: %s: another change to it is in progress; waiting for it to finish\n",
                         Quoted(package).c_str());
        }
    };
    static Notice notice;
    package::SetLockWaitListener(&notice);
}

// Where a system call failed, the system's reason follows the step's.
std::string InsertFailure(const package::InsertDetail& detail, const std::string& refusal,
                          const char* package, const char* file, const char* output, bool dryRun) {
    std::string text = InsertStepFailure(detail, refusal, package, file, output, dryRun);
    if (detail.systemError != 0) {
        text += ": " + SystemErrorText(detail.systemError);
    }
    return text;
}

std::string RemoveFailure(const package::InsertDetail& detail, const char* package,
                          const char* member, const char* output, bool dryRun) {
    return detail.step == package::InsertStep::BadArguments
               ? kNameTooLongOrEmpty
               : InsertFailure(detail, std::string(), package, member, output, dryRun);
}

std::string ExtractFailure(const package::ExtractDetail& detail, const char* package,
                           const char* output) {
    using package::ExtractStep;
    if (auto known = PackageRefusal(detail.step, package, detail.archiveFault, detail.recovery)) {
        return *known;
    }
    switch (detail.step) {
        case ExtractStep::BadArguments:
            return kNameTooLongOrEmpty;
        case ExtractStep::DirectoryMember:
            return "it is a directory member, which holds no bytes";
        case ExtractStep::Encrypted:
            return "the member is encrypted";
        case ExtractStep::UnsupportedMethod:
            return "its compression method " + std::to_string(detail.method) +
                   " is neither stored (0) nor deflated (8)";
        case ExtractStep::DamagedMember:
            return "its local header or its compressed data is damaged";
        case ExtractStep::CrcMismatch:
            return "its bytes do not match its CRC-32 or size";
        case ExtractStep::CreateOutput:
            return "cannot create " + Quoted(output != nullptr ? output : "") +
                   " (it must not be the package)";
        case ExtractStep::WriteOutput:
            return output != nullptr ? "cannot write " + Quoted(output)
                                     : std::string("cannot write to standard output");
        default:
            break;
    }
    return "failed";
}

std::string InspectFailure(const package::PackageContents& contents, const std::string& problem) {
    return contents.recovery.outcome == package::Recovery::SetAside
               ? StaleJournalRefusal(contents.recovery)
               : problem;
}

}  // namespace cli
