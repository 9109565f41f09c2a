#pragma once
// Resource and control ids of the Windows window, shared by linkspy.rc, the code and the
// window's tests.

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_MAIN 102
#define IDD_SCAN_PROGRESS 103
#define IDD_TEST_PROGRESS 108
#define IDD_PORT 152
#define IDD_CYCLES 158
#define IDD_GENERATE 161
#define IDD_SAVE_PROTOCOL 163

#define IDR_MAINFRAME 128  // the application icon

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_TIP_SCAN 1009
#define IDS_TIP_TEST 1010
#define IDS_TIP_REPORT 1011
#define IDS_TIP_GENERATE 1012
#define IDS_TIP_COM 1013

// System menu command of the About box.
#define IDM_ABOUTBOX 0x0010

// Main window.
#define IDC_SCAN 1000
#define IDC_TEST 1001
#define IDC_REPORT 1002
#define IDC_GENERATE 1003
#define IDC_MEMBER_LIST 1006
#define IDC_COM 1007
#define IDC_PORT_LABEL 1016
#define IDC_ELAPSED 1028
#define IDC_CYCLE_FIELD 1029
#define IDC_HELP_BUTTON 1049
#define IDC_VERSION 1052

// Progress windows.
#define IDC_PROGRESS_BAR 1003
#define IDC_PERCENT 1004
#define IDC_CYCLE_TEXT 1005

// Cycles dialog.
#define IDC_TRACKBAR 1023
#define IDC_CYCLES 1024
#define IDC_ESTIMATE 1028
#define IDC_MIN_LABEL 1044
#define IDC_MAX_LABEL 1045

// Save protocol dialog.
#define IDC_FILE_TYPE 1010
#define IDC_COMMENT 1039
#define IDC_FILE_NAME 1040
#define IDC_CHANGE 1041
#define IDC_DIRECTORY 1046

// Generate dialog.
#define IDC_PORTS 1010
#define IDC_SAME_PORT 1033
#define IDC_CHANGE_PORT 1034
#define IDC_CURRENT_DIR 1050
#define IDC_WINDOWS_DIR 1051

// Port dialog.
#define IDC_PORT_LIST 1010
#define IDC_PORT_TEST 1017
