// ui/state.h: the process-wide values of the dialog's side; what it shares with the
// restore run lives in restore/state.h.
#pragma once
#include <windows.h>

#include "restore/state.h"

extern HINSTANCE g_instance; // the module instance; set by the entry (UI thread)
