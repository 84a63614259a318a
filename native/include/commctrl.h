// native/include/commctrl.h: the stand-in's common-controls declarations the program uses.
#pragma once
#include <windows.h>

#define PROGRESS_CLASSA "msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_GETPOS (WM_USER + 8)

void WINAPI InitCommonControls(void);
