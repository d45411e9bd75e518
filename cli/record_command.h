// ktl record: the dialog's recording of an install script, from the command line.
#pragma once

namespace cli {

// Exit statuses of its own, besides 0 and the usage error (64).
constexpr int kExitProductInstalled = 6;
constexpr int kExitInstallerNotStarted = 7;
constexpr int kExitRecordInputs = 8;
constexpr int kExitHandOver = 9;

// `argc` and `argv` follow the command word. Off Windows it says that recording needs Windows.
int RecordCommand(int argc, char** argv);

}  // namespace cli
