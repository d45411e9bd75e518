// Resource and control numbers shared by the resource script and the code.
#pragma once

#define IDD_ABOUT 100
#define IDD_MAIN 102
#define IDI_MAIN 128

// Controls of the main dialog.
#define IDC_RECORD 1000
#define IDC_PACKAGE 1001
#define IDC_SCRIPT 1002
#define IDC_BROWSE_PACKAGE 1003
#define IDC_BROWSE_SCRIPT 1004
#define IDC_INSERT_FILE 1005
#define IDC_INSERT_SCRIPT 1006
#define IDC_BROWSE_OUTPUT 1007
#define IDC_OUTPUT 1008
#define IDC_SILENT 1009

// The processing notice created while an insert runs.
#define IDC_NOTICE 0xFFFF

// The About item appended to the system menu.
#define IDM_ABOUTBOX 0x0010

// The application manifest, by the platform's fixed numbers.
#define KTL_MANIFEST_ID 1
#define KTL_RT_MANIFEST 24
