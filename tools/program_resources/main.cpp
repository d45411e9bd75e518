// Prints what the Windows loader reads from a program's resources: its application manifest
// and its version block. The release check runs it over the programs in a zip, so that they
// are judged as Windows will see them rather than by a parser of our own. A 64-bit build reads
// 32-bit programs too: they are loaded as resource images, never run.
//
//   program_resources PROGRAM...
//
// For each program: a line "program PATH", then "manifest" and the manifest's text up to a
// line "end manifest", then "file-version A.B.C.D" and "product-version A.B.C.D" from the
// fixed part of the version block, and the block's "FileVersion" and "ProductVersion" strings.
// The exit status is 1 when any of it cannot be read.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool PrintManifest(const char* path) {
    HMODULE program =
        LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (program == nullptr) {
        std::printf("error cannot load the program as a resource image: error %lu\n",
                    GetLastError());
        return false;
    }
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(program, found) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (data != nullptr) {
        std::printf("manifest\n%.*s\nend manifest\n",
                    static_cast<int>(SizeofResource(program, found)), data);
    } else {
        std::printf("error no manifest (resource 1 of type 24)\n");
    }
    FreeLibrary(program);
    return data != nullptr;
}

std::string Quad(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

bool PrintVersionBlock(const char* path) {
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path, &ignored));
    if (block.empty() ||
        !GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data())) {
        std::printf("error no version block: error %lu\n", GetLastError());
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        std::printf("error the version block has no fixed part\n");
        return false;
    }
    std::printf("file-version %s\n", Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::printf("product-version %s\n",
                Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
    bool ok = true;
    for (const char* name : {"FileVersion", "ProductVersion"}) {
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        char* value = nullptr;
        if (VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                           &length) &&
            length > 0) {
            std::printf("%s %.*s\n", name, static_cast<int>(length), value);
        } else {
            std::printf("error no %s string\n", name);
            ok = false;
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: program_resources PROGRAM...\n");
        return 64;
    }
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::printf("program %s\n", argv[i]);
        ok = PrintManifest(argv[i]) && ok;
        ok = PrintVersionBlock(argv[i]) && ok;
    }
    return ok ? 0 : 1;
}
