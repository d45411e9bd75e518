#include "app/main_dialog.h"

#include <vector>

#include "app/messages.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

class AboutDialog : public Dialog {
  public:
    AboutDialog() : Dialog(IDD_ABOUT) {}
};

// The icon's image nearest the given system size: at high DPI the system sizes grow, and the
// icon holds images up to 256 pixels.
HICON LoadMainIcon(int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN),
                                         IMAGE_ICON, GetSystemMetrics(widthMetric),
                                         GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// Where an icon starts so as to sit centred in the client area, rounding toward zero as the
// minimised dialog has always drawn it.
int CentredIconOffset(int clientSize, int iconSize) {
    return (clientSize - iconSize + 1) / 2;
}

}  // namespace

MainDialog::MainDialog()
    : Dialog(IDD_MAIN),
      icon_(LoadMainIcon(SM_CXICON, SM_CYICON)),
      smallIcon_(LoadMainIcon(SM_CXSMICON, SM_CYSMICON)) {}

MainDialog::~MainDialog() {
    DestroyIcon(icon_);
    DestroyIcon(smallIcon_);
}

std::span<const Dialog::MapEntry> MainDialog::MessageMap() const {
    static const MapEntry kMap[] = {
        OnMessage(WM_SYSCOMMAND, &MainDialog::OnSysCommand),
        OnMessage(WM_PAINT, &MainDialog::OnPaint),
        OnMessage(WM_QUERYDRAGICON, &MainDialog::OnQueryDragIcon),
        OnClick(IDC_BROWSE_PACKAGE, &MainDialog::BrowsePackage),
        OnClick(IDC_BROWSE_SCRIPT, &MainDialog::BrowseScript),
        OnClick(IDC_RECORD, &MainDialog::RecordInstallScript),
        OnClick(IDC_INSERT_SCRIPT, &MainDialog::InsertScript),
        OnClick(IDC_INSERT_FILE, &MainDialog::StartInsertFile),
        OnMessage(WM_INSERT_DONE, &MainDialog::FinishInsertFile),
        OnMessage(WM_INSERT_PROGRESS, &MainDialog::ShowInsertProgress),
        OnClick(IDC_BROWSE_OUTPUT, &MainDialog::BrowseOutput),
        OnMessage(WM_DROPFILES, &MainDialog::OnDropFiles),
    };
    return kMap;
}

BOOL MainDialog::OnInitDialog() {
    if (HMENU menu = GetSystemMenu(Window(), FALSE)) {
        std::wstring about = LoadMessage(IDS_ABOUT_BOX);
        if (!about.empty()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }
    SendMessageW(Window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(Window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    AcceptDroppedFiles();

    std::vector<char> directory(520, '\0');
    GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    std::string defaultPackage = std::string(directory.data()) + "\\" + "ZorSetup.exe";
    CheckDlgButton(Window(), IDC_SILENT, BST_CHECKED);
    if (PathExists(defaultPackage.c_str())) {
        SetItemText(IDC_PACKAGE, defaultPackage);
    }
    return TRUE;
}

bool MainDialog::OnSysCommand(WPARAM command, LPARAM, LRESULT& result) {
    if ((command & 0xFFF0) != IDM_ABOUTBOX) {
        return false;
    }
    // Owned by the main dialog, as the application's main window, so the dialog waits for it.
    AboutDialog about;
    about.DoModal(Window());
    result = 0;
    return true;
}

bool MainDialog::OnPaint(WPARAM, LPARAM, LRESULT& result) {
    if (!IsIconic(Window())) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Window(), &paint);
    SendMessageA(Window(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int iconWidth = GetSystemMetrics(SM_CXICON);
    int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(Window(), &client);
    int x = CentredIconOffset(client.right - client.left, iconWidth);
    int y = CentredIconOffset(client.bottom - client.top, iconHeight);
    DrawIcon(dc, x, y, icon_);
    EndPaint(Window(), &paint);
    result = 0;
    return true;
}

bool MainDialog::OnQueryDragIcon(WPARAM, LPARAM, LRESULT& result) {
    result = reinterpret_cast<LRESULT>(icon_);
    return true;
}

void MainDialog::OnOK() {
    CloseWhenIdle(IDOK);
}

void MainDialog::OnCancel() {
    CloseWhenIdle(IDCANCEL);
}

void MainDialog::CloseWhenIdle(INT_PTR result) {
    if (!InsertJobRunning()) {
        EndDialog(result);
        return;
    }
    if (!closePending_) {
        closePending_ = true;
        closeResult_ = result;
        ShowMessage(Window(), IDS_CLOSE_AFTER_INSERT, kInformationBox);
    }
}

void MainDialog::EnableInputs(bool enable) {
    static const int kInputs[] = {IDC_PACKAGE,       IDC_SCRIPT, IDC_OUTPUT,     IDC_BROWSE_PACKAGE,
                                  IDC_BROWSE_SCRIPT, IDC_RECORD, IDC_INSERT_FILE};
    for (int id : kInputs) {
        EnableWindow(Item(id), enable ? TRUE : FALSE);
    }
}

int MainDialog::DialogDpi() const {
    HDC dc = GetDC(Window());
    int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
    if (dc != nullptr) {
        ReleaseDC(Window(), dc);
    }
    return dpi > 0 ? dpi : 96;
}

void MainDialog::FocusField(int controlId) {
    HWND field = Item(controlId);
    SetFocus(field);
    SendMessageA(field, EM_SETSEL, 0, -1);
    SendMessageA(field, EM_SCROLLCARET, 0, 0);
}

}  // namespace app
