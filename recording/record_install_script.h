// Recording an install script: the installer records it. The tool hands the installer the
// request through "Zor.ini" in the Windows directory, runs it, waits for it to end, and takes
// the request back. Whoever starts a recording supplies the paths and tells the user what
// happened; the recording itself shows nothing.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace recording {

struct RecordRequest {
    std::string installer;  // the package, run as the installer
    std::string script;     // where the installer writes the script
    bool silent = false;    // mark the script for a silent install
};

// The recording's side of the conversation with the user.
class RecordingUser {
  public:
    virtual ~RecordingUser() = default;
    // The request, once the user's inputs are found sound; nothing when they are not (the
    // user has been told why).
    virtual std::optional<RecordRequest> AskRequest() = 0;
    virtual void TellAlreadyInstalled() = 0;
    // Around the installer's run, which may take as long as the user takes.
    virtual void InstallerStarting() = 0;
    virtual void InstallerEnded() = 0;
    virtual void TellCannotStart(const std::string& installer, DWORD systemError) = 0;
    // The hand-over file could not be written (without elevation, for one): the installer
    // was not started.
    virtual void TellCannotHandOver(const std::string& handOver, DWORD systemError) = 0;
    virtual void TellFinished() = 0;
};

// Refuses when the product is installed (the installer would not record), asks for the
// request, runs the installer once the hand-over is written in place, marks the script silent when
// asked and the installer ran, and always takes the hand-over back.
void RecordInstallScript(RecordingUser& user);

}  // namespace recording
