// Resource and control identifiers of the control panel, shared by panel.rc and panel.cpp.
#pragma once

#define IDD_CONTROL_PANEL 101
#define IDB_LOGO 102
#define IDC_BUFFER_SIZE_SLIDER 1001
#define IDC_DRIVER_NAME 1003
#define IDC_BUFFER_SIZE_LABEL 1004
#define IDC_OUTPUT_DEVICES 1005
#define IDC_INPUT_DEVICES 1006
#define IDC_STREAM_MODE 1007
#define IDC_OUTPUT_UP 1009
#define IDC_OUTPUT_DOWN 1010
#define IDC_INPUT_UP 1011
#define IDC_INPUT_DOWN 1012
