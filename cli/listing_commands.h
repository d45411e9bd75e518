// ktl list and ktl verify: what the package's archive holds, and whether it is sound.
#pragma once

namespace cli {

// `argc` and `argv` follow the command word.
int ListCommand(int argc, char** argv);
int VerifyCommand(int argc, char** argv);

}  // namespace cli
