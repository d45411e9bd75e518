#include "package/new_package_file.h"

#include "package/engine_report.h"
#include "platform/filesystem.h"

namespace package {

InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write) {
    platform::File output;
    if (platform::NamesSameFile(package, outputPath) ||
        !output.Open(outputPath, platform::Access::ReadWrite,
                     platform::Disposition::CreateAlways)) {
        NoteFailedFile(detail, output, outputPath);
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    InsertResult result = write(output);
    bool closed = output.Close();
    if (result >= 0 && closed) {
        return result;
    }
    NoteFailedFile(detail, output, outputPath);
    NoteFailedFile(detail, package, nullptr);
    platform::DeletePath(outputPath);
    return result < 0 ? result : FailedAt(detail, InsertStep::Rebuild, kInsertFailed);
}

}  // namespace package
