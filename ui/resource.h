// Resource and control identifiers shared by the resource script and the code,
// grouped by dialog. The numbers are fixed: test tools and stored screenshots
// refer to them, so never renumber.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Program icon (the lowest icon id, so Explorer and the taskbar pick it).
#define IDI_PROGRAM 1

// Indicator icons.
#define IDI_RX_LIT 155
#define IDI_RX_DARK 156
#define IDI_TX_LIT 157
#define IDI_TX_DARK 158
#define IDI_DCD_DARK 166
#define IDI_DCD_LIT 167
#define IDI_DSR_DARK 168
#define IDI_DSR_LIT 169
// Decorations of the status window.
#define IDI_CABLE 162
#define IDI_RESET 178

// Splash picture, 400 x 200, 24 bits per pixel.
#define IDB_SPLASH 187

// Splash dialog.
#define IDD_SPLASH 185
#define IDC_SPLASH_PICTURE 1046

// Status window.
#define IDD_STATUS 129
#define IDC_SERIAL_PORT_FIELD 1000
#define IDC_RX_LAMP 1002
#define IDC_TX_LAMP 1003
#define IDC_VIRTUAL_RECEIVED 1007
#define IDC_VIRTUAL_SENT 1008
#define IDC_SENT_HEADING 1010
#define IDC_PIPE_NAME_FIELD 1011
#define IDC_SERIAL_RECEIVED 1012
#define IDC_CABLE_PICTURE 1013
#define IDC_BAUD_FIELD 1014
#define IDC_PARITY_FIELD 1015
#define IDC_DATA_BITS_FIELD 1016
#define IDC_STOP_BITS_FIELD 1017
#define IDC_RESET 1018
#define IDC_FLOW_CONTROL_FIELD 1019
#define IDC_SERIAL_SENT 1020
#define IDC_DCD_LAMP 1023
#define IDC_DSR_LAMP 1024
#define IDC_CHANGE_SETTINGS 1025
#define IDC_STATUS_LINE 1026
#define IDC_RECEIVED_HEADING 1027
#define IDC_BYTES_LABEL_1 1028
#define IDC_BYTES_LABEL_2 1029
#define IDC_BYTES_LABEL_3 1030
#define IDC_BYTES_LABEL_4 1031
#define IDC_ABOUT 1041
#define IDC_MESSAGES 1045
// Exit is IDCANCEL (2), so the close box and Alt+F4 act as Exit.

// About box.
#define IDD_ABOUT 103
#define IDC_ABOUT_TEXT 1050

// Connection failure dialog. Retry is IDOK (1) and Change configuration
// IDCANCEL (2), which gives Enter and Escape their meaning.
#define IDD_CONNECTION_FAILURE 181
#define IDC_FAILURE_MESSAGE 1039
#define IDC_FAILURE_EXIT 1040

// Settings dialog. Save changes is IDOK (1), Cancel is IDCANCEL (2).
#define IDD_SETTINGS 180
#define IDC_SET_BAUD 1029
#define IDC_SET_FLOW_CONTROL 1030
#define IDC_SET_SERIAL_PORT 1031
#define IDC_SET_PIPE_NAME 1032
#define IDC_SET_DATA_BITS 1033
#define IDC_SET_PARITY 1034
#define IDC_SET_STOP_BITS 1035
#define IDC_SET_DTR_CONTROL 1036
#define IDC_SET_RTS_CONTROL 1037
#define IDC_SET_CTS_OUTPUT 1038
#define IDC_SET_DSR_OUTPUT 1039
#define IDC_SET_DSR_INPUT 1040
#define IDC_SET_INPUT_BUFFER 1041
#define IDC_SET_OUTPUT_BUFFER 1042
#define IDC_SET_PIPE_BUFFER 1043
#define IDC_SET_DISCARD_NULL 1044
#define IDC_SET_VIRTUAL_MACHINE 1060

// The settings dialog's "Virtual machine...". "Use its pipe name" is IDOK,
// Cancel IDCANCEL.
#define IDD_VIRTUAL_MACHINES 183
#define IDC_VM_STATUS 1061
#define IDC_VM_PORTS 1062
#define IDC_VM_ATTACH 1063

// Settings dialog, continued: picking a port and following its adapter.
#define IDC_SET_CHOOSE_PORT 1070
#define IDC_SET_FOLLOW_ADAPTER 1071

// The ports to choose from (the settings dialog's Choose...). OK is IDOK (1),
// Cancel IDCANCEL (2).
#define IDD_CHOOSE_PORT 184
#define IDC_CHOOSE_LIST 1072
