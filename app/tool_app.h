// The one application object: it runs the main dialog modally, and the program ends with it.
#pragma once

#include <windows.h>

namespace app {

class ToolApp {
  public:
    // Runs the program; returns its exit code.
    int Run();

  private:
    // False: no message loop of its own is wanted once the dialog has ended.
    bool InitInstance();
};

ToolApp& TheApp();

}  // namespace app
