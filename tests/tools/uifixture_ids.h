// Control ids of the uidriver test fixture, shared by its resource script,
// its code and the harness tests that drive it.
#pragma once

#define IDD_FIXTURE 100
#define IDD_FIXTURE_MODAL 101
#define IDC_FX_LABEL 1001
#define IDC_FX_EDIT 1002
#define IDC_FX_COMBO 1003
#define IDC_FX_RESULT 1004
#define IDC_FX_BOX 1005
#define IDC_FX_GREEN 1006
#define IDC_FX_YELLOW 1007
#define IDC_FX_GREY 1008
#define IDC_FX_CHECK 1009
#define IDC_FX_DISABLED 1010
#define IDC_FX_MODAL 1011
#define IDC_FX_ADMIN 1012
#define IDC_FX_BLOCK 1013
#define IDC_FX_LOG 1014
#define IDC_FX_SPIN 1015
#define IDC_FX_MODAL_EDIT 1020
