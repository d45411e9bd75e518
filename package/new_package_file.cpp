#include "package/new_package_file.h"

#include <cstring>

#include "package/engine_report.h"

namespace package {
namespace {

constexpr char kStagingSuffix[] = ".ktl-partial";

}  // namespace

bool StagingPathFor(const char* outputPath, char (&stagingPath)[platform::kPathBufferSize]) {
    const size_t length = std::strlen(outputPath);
    if (length + sizeof(kStagingSuffix) > sizeof(stagingPath)) {
        return false;
    }
    std::memcpy(stagingPath, outputPath, length);
    std::memcpy(stagingPath + length, kStagingSuffix, sizeof(kStagingSuffix));
    return true;
}

InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write) {
    char stagingPath[platform::kPathBufferSize];
    platform::File output;
    if (!StagingPathFor(outputPath, stagingPath) || platform::NamesSameFile(package, outputPath) ||
        platform::NamesSameFile(package, stagingPath)) {
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    platform::DeletePath(stagingPath);
    if (!output.Open(stagingPath, platform::Access::ReadWrite,
                     platform::Disposition::CreateAlways)) {
        NoteFailedFile(detail, output, stagingPath);
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    InsertResult result = write(output);
    const bool closed = output.Close();
    if (result >= 0 && closed && platform::ReplaceWith(stagingPath, outputPath)) {
        return result;
    }
    NoteFailedFile(detail, output, stagingPath);
    NoteFailedFile(detail, package, nullptr);
    platform::DeletePath(stagingPath);
    if (result >= 0 && closed) {
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    return result < 0 ? result : FailedAt(detail, InsertStep::Rebuild, kInsertFailed);
}

InsertResult CheckNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail) {
    char stagingPath[platform::kPathBufferSize];
    if (!StagingPathFor(outputPath, stagingPath) || platform::NamesSameFile(package, outputPath) ||
        platform::NamesSameFile(package, stagingPath)) {
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    InsertResult staging = CheckCreatable(detail, stagingPath);
    return staging < 0 ? staging : CheckCreatable(detail, outputPath);
}

}  // namespace package
