// libFuzzer target: arbitrary bytes as a member archive, and behind a small image as a whole
// package. Listing, adding a member, and the package checks must never read or write out of
// bounds, whatever the bytes claim.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package/package_archive.h"
#include "package/package_inspect.h"

namespace {

std::string g_folder;

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

// The smallest image the engine takes: "MZ", the PE signature at 0x80, no sections.
std::vector<uint8_t> EmptyImage() {
    std::vector<uint8_t> image(0x80 + 248, 0);
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x80;
    image[0x80] = 'P';
    image[0x81] = 'E';
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/ktlfuzzXXXXXX";
    g_folder = mkdtemp(pattern);
    WriteFile(g_folder + "/source.ins", reinterpret_cast<const uint8_t*>("[Setup]\n"), 8);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string archivePath = g_folder + "/archive.zip";
    WriteFile(archivePath, data, size);
    {
        package::PackageArchive archive;
        package::PathBuffer path = {};
        package::PathBuffer name = {};
        for (int more = archive.FirstEntry(archivePath.c_str(), path, name); more == 1;
             more = archive.NextEntry(path, name)) {
            path[0] = '\0';
        }
        archive.AddFile(archivePath.c_str(), (g_folder + "/source.ins").c_str(), "auto1.ins");
    }

    std::vector<uint8_t> package = EmptyImage();
    package.insert(package.end(), data, data + size);
    const std::string packagePath = g_folder + "/package.exe";
    WriteFile(packagePath, package.data(), package.size());
    package::PackageContents contents;
    std::string problem;
    package::ReadPackageContents(packagePath.c_str(), contents, problem);
    package::VerifyPackage(packagePath.c_str(), contents, problem);
    return 0;
}
