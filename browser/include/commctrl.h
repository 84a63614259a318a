// browser/include/commctrl.h: the browser stand-in's progress bar messages.
#pragma once
#include <windows.h>

#define PBM_SETPOS (WM_USER + 2)
