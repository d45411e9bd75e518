// ktl insert and ktl remove: the changes to a package, real or dry runs.
#pragma once

namespace cli {

// `argc` and `argv` follow the command word.
int InsertCommand(int argc, char** argv);
int RemoveCommand(int argc, char** argv);

}  // namespace cli
