// ktl seal: a signed package's checksum made zero again.
#pragma once

namespace cli {

int SealCommand(int argc, char** argv);

}  // namespace cli
