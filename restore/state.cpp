// restore/state.cpp: the values a restore run shares with whoever shows it.
#include "restore/state.h"

HWND g_dialog;
std::atomic<LONG> g_runState{kRunIdle};
RestoreInfo g_restoreInfo;
BOOL g_restoreInfoLoaded;
char g_textBuffer[kTextBufferSize];
