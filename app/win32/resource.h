#pragma once

// Resource and control ids of the Windows program. Shared by the resource script (plain
// #defines, which windres understands) and the C++ code.

// Dialog templates.
#define IDD_ABOUT 100
#define IDD_UPGRADE 102
#define IDD_CONFIRM 130

// Pictures.
#define IDI_WARNING_SIGN 132
#define IDI_COMPUTER 144
#define IDI_INSTRUMENT 150
#define IDB_LOGO 151
#define IDI_ARROW 154
#define IDI_STEP2 159
#define IDI_STEP1 160

// Upgrade dialog controls.
#define IDC_PROGRESS 1000
#define IDC_PORT 1002
#define IDC_START 1004
#define IDC_PERCENT 1012
#define IDC_LINK_COMPUTER 1021
#define IDC_DEVICE_ICON 1022
#define IDC_LINK_ARROW1 1023
#define IDC_LINK_ARROW2 1024
#define IDC_STEP1_MARK 1035
#define IDC_STEP2_MARK 1036
#define IDC_STEP1_HINT 1037
#define IDC_STEP2_HINT 1038

// About box controls (IDC_DEVICE_ICON is shared with the upgrade dialog).
#define IDC_LOGO 1030
#define IDC_DEVICE_NAME 1034
#define IDC_VERSION 1028

// Confirmation dialog controls.
#define IDC_WARNING_ICON 1014
#define IDC_CONFIRM_TEXT 1027
// YES and NO are IDYES (6) and IDNO (7) of windows.h.

// System-menu command of the About box.
#define IDM_ABOUTBOX 16
