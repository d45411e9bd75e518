#include "package/engine_report.h"

#include <chrono>
#include <cstring>

#include "package/zip_records.h"
#include "platform/filesystem.h"

namespace package {
namespace {

ProgressMeter* g_meter = nullptr;
constexpr int64_t kReportEveryMs = 100;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

ProgressMeter::ProgressMeter(InsertPrompter& prompter) : prompter_(prompter) {
    g_meter = this;
}

ProgressMeter::~ProgressMeter() {
    g_meter = nullptr;
    if (toDo_ != 0) {
        done_ = toDo_;
        Report(true);
    }
}

void ProgressMeter::Report(bool always) {
    int64_t now = NowMs();
    // All done is said once, at the end: a pass may finish before the next one adds its work.
    if (!always &&
        (done_ >= toDo_ || (lastReportMs_ >= 0 && now - lastReportMs_ < kReportEveryMs))) {
        return;
    }
    lastReportMs_ = now;
    // Work found on the way (the file to insert, a pass the first did not foresee) lowers the
    // share done; the bar holds still then rather than moving back.
    uint64_t shown = done_ < toDo_ ? done_ : toDo_;
    const uint64_t held = static_cast<uint64_t>(shownShare_ * static_cast<double>(toDo_));
    if (shown < held) {
        shown = held < toDo_ ? held : toDo_;
    }
    shownShare_ = toDo_ != 0 ? static_cast<double>(shown) / static_cast<double>(toDo_) : 0.0;
    prompter_.ShowProgress(shown, toDo_);
}

void AddWorkToDo(uint64_t bytes) {
    if (g_meter != nullptr) {
        g_meter->toDo_ += bytes;
    }
}

void AddWorkDone(uint64_t bytes) {
    if (g_meter != nullptr) {
        g_meter->done_ += bytes;
        g_meter->Report(false);
    }
}

InsertResult FailedAt(InsertDetail* detail, InsertStep step, InsertResult result) {
    if (detail != nullptr) {
        detail->step = step;
    }
    return result;
}

InsertResult FailedToAdd(InsertDetail* detail, ArchiveError error) {
    if (detail != nullptr) {
        detail->archiveError = static_cast<int>(error);
    }
    return FailedAt(detail, InsertStep::AddMember, kInsertFailed);
}

void NoteFailedFile(InsertDetail* detail, const platform::File& file, const char* path) {
    if (detail == nullptr || detail->systemError != 0 || file.LastError() == 0) {
        return;
    }
    detail->systemError = file.LastError();
    const char* named = file.Path()[0] != '\0' ? file.Path() : path;
    if (named != nullptr && std::strlen(named) < sizeof(detail->path)) {
        std::strcpy(detail->path, named);
    }
}

InsertResult CheckCreatable(InsertDetail* detail, const char* path) {
    int error = 0;
    if (platform::CouldCreateFile(path, &error)) {
        return 0;
    }
    if (detail != nullptr && detail->systemError == 0) {
        detail->systemError = error;
        if (std::strlen(path) < sizeof(detail->path)) {
            std::strcpy(detail->path, path);
        }
    }
    return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
}

void NoteNewSize(InsertDetail* detail, uint64_t length, uint64_t changedFrom) {
    if (detail != nullptr) {
        detail->newSize = length + (4 - length % 4) % 4 + 4;
        detail->bytesWritten = detail->newSize - changedFrom;
    }
}

void NoteAdded(InsertDetail* detail, const char* name, uint32_t crc, uint64_t compressedSize,
               uint64_t size) {
    if (detail != nullptr) {
        detail->added.name = name;
        detail->added.method = kDeflateMethod;
        detail->added.crc32 = crc;
        detail->added.compressedSize = static_cast<uint32_t>(compressedSize);
        detail->added.uncompressedSize = static_cast<uint32_t>(size);
    }
}

InsertResult Committed(Commit commit, InsertResult written, uint64_t start, InsertDetail* detail) {
    switch (commit) {
        case Commit::Done:
            return static_cast<InsertResult>(written - start);
        case Commit::NotDurable:
            return FailedAt(detail, InsertStep::NotDurable, kInsertFailed);
        case Commit::RolledBack:
        case Commit::JournalLeft:
            break;
    }
    return written < 0 ? written : FailedAt(detail, InsertStep::Rebuild, kInsertFailed);
}

}  // namespace package
