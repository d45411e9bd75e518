// A dialog window over one static dialog procedure: the object is bound to its window at
// WM_INITDIALOG, and every later message goes through the derived class's message map, a
// table from a window message, or the click of a numbered control, to a handler. The window
// and its controls are Unicode windows, so the template's texts reach the screen whatever
// the ANSI code page.
#pragma once

#include <windows.h>

#include <span>
#include <string>

namespace app {

class Dialog {
  public:
    // A message handler returns false to leave the message to the platform's default
    // processing; `result` is the message's answer when it returns true.
    using CommandHandler = void (Dialog::*)();
    using MessageHandler = bool (Dialog::*)(WPARAM, LPARAM, LRESULT& result);

    struct MapEntry {
        UINT message;    // WM_COMMAND for a button click
        UINT controlId;  // the clicked control, for WM_COMMAND
        CommandHandler onCommand;
        MessageHandler onMessage;
    };

    explicit Dialog(UINT templateId) : templateId_(templateId) {}
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog modally and returns the value it ended with, or -1.
    INT_PTR DoModal(HWND parent = nullptr);
    void EndDialog(INT_PTR result);

    HWND Window() const { return window_; }
    HWND Item(int controlId) const { return GetDlgItem(window_, controlId); }
    // A field's text in the ANSI code page, the form in which paths reach the engine; the
    // window itself keeps UTF-16.
    // The item's text in the ANSI code page, as the engine and the hand-over take paths. A
    // character the code page cannot hold becomes '?', never a look-alike letter that could
    // name another file.
    std::string ItemText(int controlId) const;
    std::wstring WideItemText(int controlId) const;
    // Whether the item's text passes through the ANSI code page unchanged.
    bool ItemFitsCodePage(int controlId) const;
    void SetItemText(int controlId, const std::string& ansi);
    void SetItemText(int controlId, const std::wstring& text);

  protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    virtual std::span<const MapEntry> MessageMap() const { return {}; }

    template <class Derived>
    static constexpr MapEntry OnClick(UINT controlId, void (Derived::*handler)()) {
        return {WM_COMMAND, controlId, static_cast<CommandHandler>(handler), nullptr};
    }
    template <class Derived>
    static constexpr MapEntry OnMessage(UINT message,
                                        bool (Derived::*handler)(WPARAM, LPARAM, LRESULT&)) {
        return {message, 0, nullptr, static_cast<MessageHandler>(handler)};
    }

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT templateId_;
    HWND window_ = nullptr;
};

}  // namespace app
