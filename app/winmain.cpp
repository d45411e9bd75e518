#include "app/tool_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return app::TheApp().Run();
}
