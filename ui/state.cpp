// ui/state.cpp: the process-wide values shared by the dialog and the restore worker.
#include "ui/state.h"

HWND g_dialog;
HINSTANCE g_instance;
std::atomic<LONG> g_runState{kRunIdle};
RestoreInfo g_restoreInfo;
BOOL g_restoreInfoLoaded;
char g_textBuffer[kTextBufferSize];
