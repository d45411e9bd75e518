#include "cli/record_command.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "cli/message_text.h"
#include "cli/system_error.h"
#include "recording/record_install_script.h"
#include "res/message_ids.h"
#endif

namespace cli {

#ifndef _WIN32

int RecordCommand(int, char**) {
    std::fprintf(stderr,
                 "ktl: record needs Windows: it runs the package's installer, which records the "
                 "script\n");
    return 64;
}

#else

namespace {

constexpr const char* kRecordUsage = "usage: ktl record PACKAGE SCRIPT [--silent | --no-silent]\n";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The last four bytes compared exactly, as the dialog compares them.
bool EndsWith(const std::string& text, const char* extension) {
    return text.size() >= 4 && text.compare(text.size() - 4, 4, extension) == 0;
}

// The path made absolute against the current folder; empty when it cannot be.
std::string AbsolutePath(const std::string& path) {
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length == 0 || length >= sizeof(full) ? std::string() : std::string(full);
}

// The recording's conversation, as lines: what ktl says, and the status it ends with.
class CommandLineUser : public recording::RecordingUser {
  public:
    CommandLineUser(const char* package, const char* script, bool silent)
        : package_(package), script_(script), silent_(silent) {}

    int Status() const { return status_; }

    // The inputs normalised as the dialog normalises them, the script made absolute, since
    // the installer runs in its own folder.
    std::optional<recording::RecordRequest> AskRequest() override {
        if (!EndsWith(package_, ".exe")) {
            return Refuse(kExitRecordInputs, Quoted(package_) + " is no install package (.exe)");
        }
        const std::string package = AbsolutePath(package_);
        const DWORD attributes = GetFileAttributesA(package.c_str());
        if (package.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Refuse(kExitRecordInputs, "cannot find the package " + Quoted(package_));
        }
        std::string script = script_;
        if (!EndsWith(script, ".ins")) {
            script += ".ins";
        }
        const std::string absolute = AbsolutePath(script);
        if (absolute.empty()) {
            return Refuse(kExitRecordInputs, "the script path " + Quoted(script) + " is too long");
        }
        // Created empty when missing: the installer writes into it, and a script that cannot be
        // written is better refused now than after the installer has run.
        HANDLE file = CreateFileA(absolute.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Refuse(kExitRecordInputs, "cannot create or write the script " +
                                                 Quoted(absolute) + ": " +
                                                 SystemErrorText(GetLastError()));
        }
        CloseHandle(file);
        script_ = absolute;
        return recording::RecordRequest{package, absolute, silent_};
    }

    void TellAlreadyInstalled() override {
        Refuse(kExitProductInstalled, cli::EnglishMessage(IDS_ALREADY_INSTALLED));
    }

    void InstallerStarting() override {
        std::printf(
            "ktl: recording: the installer has started; the script is written when it "
            "ends\n");
        std::fflush(stdout);
    }

    void InstallerEnded() override {}

    void TellCannotStart(const std::string& installer, DWORD systemError) override {
        Refuse(kExitInstallerNotStarted, "cannot start the installer " + Quoted(installer) + ": " +
                                             SystemErrorText(static_cast<int>(systemError)));
    }

    void TellCannotHandOver(const std::string& handOver, DWORD systemError) override {
        Refuse(kExitHandOver,
               "cannot write the recording request into " + Quoted(handOver) +
                   " (it needs administrator rights: run ktl from an elevated prompt): " +
                   SystemErrorText(static_cast<int>(systemError)));
    }

    void TellFinished() override {
        std::printf("ktl: recording finished: %s%s\n", Quoted(script_).c_str(),
                    silent_ ? ", marked for a silent installation" : "");
        status_ = 0;
    }

  private:
    std::nullopt_t Refuse(int status, const std::string& reason) {
        std::fprintf(stderr, "ktl: cannot record: %s\n", reason.c_str());
        status_ = status;
        return std::nullopt;
    }

    std::string package_;
    std::string script_;
    bool silent_;
    int status_ = 1;
};

}  // namespace

int RecordCommand(int argc, char** argv) {
    const char* positional[2] = {};
    int count = 0;
    bool silent = true;
    bool silenceGiven = false;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--silent") == 0 || std::strcmp(arg, "--no-silent") == 0) {
            const bool given = arg[2] == 's';
            if (silenceGiven && given != silent) {
                std::fprintf(stderr, "ktl: --silent and --no-silent exclude each other\n%s",
                             kRecordUsage);
                return 64;
            }
            silent = given;
            silenceGiven = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "ktl: unknown option \"%s\" for record\n%s", arg, kRecordUsage);
            return 64;
        } else if (count < 2) {
            positional[count++] = arg;
        } else {
            std::fprintf(stderr, "ktl: too many arguments: \"%s\"\n%s", arg, kRecordUsage);
            return 64;
        }
    }
    if (count != 2) {
        std::fprintf(stderr, "ktl: record needs PACKAGE and SCRIPT\n%s", kRecordUsage);
        return 64;
    }
    CommandLineUser user(positional[0], positional[1], silent);
    recording::RecordInstallScript(user);
    return user.Status();
}

#endif

}  // namespace cli
