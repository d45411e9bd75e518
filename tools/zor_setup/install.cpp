#include <windows.h>

#include "tools/zor_setup/install.h"

#include <cctype>
#include <string>
#include <vector>

#include "tools/zor_setup/setup_log.h"

namespace zor_setup {
namespace {

constexpr const char* kProductKey = "SOFTWARE\\Tessel\\Zor";

// A drive-qualified "X:\..." or a UNC "\\server\share..." path: anything else would be read
// against the working directory, which is the package's folder.
bool IsFullPath(const std::string& path) {
    bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                 path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    bool unc = path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
    return drive || unc;
}

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// `base` with the components appended, each behind a backslash.
std::string JoinPath(std::string base, const std::vector<std::string>& components) {
    for (const std::string& component : components) {
        if (!EndsWithSeparator(base)) {
            base += '\\';
        }
        base += component;
    }
    return base;
}

// Creates every folder along `path`, a full path. Failures on the way are expected (the drive,
// a share's server part, folders that exist already), so only the last folder's existence
// counts.
bool MakeFolderPath(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i]))) {
            ++i;
        } else if (path[i] == '\\' || path[i] == '/') {
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
        }
    }
    CreateDirectoryA(path.c_str(), nullptr);
    return IsDirectory(path);
}

bool WriteRegistry(const InstallChoices& choices, std::string& problem) {
    HKEY key = nullptr;
    LONG status =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        problem = "cannot create HKLM\\" + std::string(kProductKey) + " (error " +
                  std::to_string(status) + ")";
        return false;
    }
    auto set = [key](const char* name, const std::string& value) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    };
    bool written = set("installpath", choices.installPath) && set("type", choices.type);
    RegCloseKey(key);
    if (!written) {
        problem = "cannot write the values under HKLM\\" + std::string(kProductKey);
        return false;
    }
    return true;
}

}  // namespace

bool InstallProduct(const OwnPackage& own, const InstallChoices& choices, std::string& problem) {
    if (!IsSealed(own)) {
        problem = "the package is damaged: its checksum is not zero";
        return false;
    }
    if (!IsFullPath(choices.installPath)) {
        problem = "the install folder \"" + choices.installPath + "\" is not a full path";
        return false;
    }
    std::vector<const Member*> files;
    for (const Member& member : own.members) {
        if (IsInstallScriptName(member.name)) {
            continue;
        }
        if (!IsSafeMemberName(member.name)) {
            problem = "member \"" + member.name + "\" would be written outside the install folder";
            return false;
        }
        files.push_back(&member);
    }
    if (!MakeFolderPath(choices.installPath)) {
        problem = "cannot create the install folder " + choices.installPath;
        return false;
    }
    LogLine("install folder %s", choices.installPath.c_str());
    for (const Member* member : files) {
        std::vector<std::string> parts = NameComponents(member->name);
        std::string target = JoinPath(choices.installPath, parts);
        if (IsDirectoryName(member->name)) {
            if (!MakeFolderPath(target)) {
                problem = "cannot create the folder " + target;
                return false;
            }
            LogLine("folder %s", member->name.c_str());
            continue;
        }
        parts.pop_back();
        std::string folder = JoinPath(choices.installPath, parts);
        if (!MakeFolderPath(folder)) {
            problem = "cannot create the folder " + folder;
            return false;
        }
        if (!ExtractMember(own, *member, target.c_str(), problem)) {
            return false;
        }
        LogLine("file %s (%u bytes)", member->name.c_str(),
                static_cast<unsigned>(MemberSize(own, *member)));
    }
    if (!WriteRegistry(choices, problem)) {
        return false;
    }
    LogLine("registry HKLM\\%s: installpath=%s type=%s", kProductKey, choices.installPath.c_str(),
            choices.type.c_str());
    return true;
}

}  // namespace zor_setup
