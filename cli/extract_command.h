// ktl extract: one member's bytes out of the package, to a file or standard output.
#pragma once

namespace cli {

// `argc` and `argv` follow the command word.
int ExtractCommand(int argc, char** argv);

}  // namespace cli
