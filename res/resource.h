// Resource identifiers of the program.
#pragma once

#define IDD_CAPTURE_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128

#define IDC_PORT 1001
#define IDC_BAUDRATE 1002
#define IDC_RECEIVE 1003
#define IDC_TEXT 1004
#define IDC_SAVE 1005
