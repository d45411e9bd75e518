#include "app/tool_app.h"

#include <windows.h>

#include <commctrl.h>

#include "app/main_dialog.h"
#include "platform/multibyte.h"

namespace app {
namespace {
ToolApp g_app;
}  // namespace

ToolApp& TheApp() {
    return g_app;
}

int ToolApp::Run() {
    platform::InitMultibyteText();
    InitInstance();
    return 0;
}

bool ToolApp::InitInstance() {
    // The manifest asks for the version 6 common controls; they must be loaded before the
    // first dialog is made.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    MainDialog dialog;
    dialog.DoModal(nullptr);
    return false;
}

}  // namespace app
