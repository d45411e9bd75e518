// ktl info: what an administrator wants to know of a package before customising it.
#pragma once

namespace cli {

// `argc` and `argv` follow the command word.
int InfoCommand(int argc, char** argv);

}  // namespace cli
