// Resource and control numbers of the setup stand-in's window, shared by its resource script,
// its code and the test drivers that fill the window in and press its buttons.
#pragma once

#define IDD_SETUP 100

#define IDC_INSTALL_FOLDER 1001
#define IDC_COMPONENT_CLIENT 1002
#define IDC_COMPONENT_CONSOLE 1003
#define IDC_COMPONENT_DOCUMENTATION 1004
#define IDC_TYPE_CLIENT 1005
#define IDC_TYPE_SERVER 1006

// Finish and Cancel are the standard IDOK (1) and IDCANCEL (2).
