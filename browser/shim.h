// browser/shim.h: the controls of the browser stand-in for the Windows calls, for the
// engine's entry (browser/engine.cpp). The page's side of every call is the object
// Module.host of the engine's JavaScript: files by name, slices of them, the destination's
// sink, the question box, the progress and the cancel button.
#pragma once
#include <windows.h>

// Where a run's destination goes: the page's sink (its writes and a read back of what the
// run copied verbatim), or nowhere, for a check that reads a whole set and keeps nothing.
enum BrowserDestination { kToPageSink, kToNowhere };
// The destination kind and the name CreateFileA creates it under; every other name opened
// for writing is refused loudly, and GetFileAttributesA finds no file of this name.
void BrowserSetDestination(BrowserDestination kind, const char *name);
// Bytes the destination has taken since BrowserSetDestination.
long long BrowserDestinationBytes(void);

// Called when the page's cancel button has been pressed (asked after every slice the
// page serves and every progress step).
void BrowserSetCancelHook(void (*hook)(void));

// Closes every handle still open (without flushing a destination); before and after each
// run or load.
void BrowserReset(void);
// A text of the dialog's fields as set last (IDC_DESTINATION); "" when none.
const char *BrowserDialogText(int id);

// Prints what the stand-in does not model and aborts.
[[noreturn]] void BrowserRefuse(const char *call, const char *what);

// The dialog's window, which the engine's g_dialog names.
HWND BrowserDialog(void);
// The size of the slices files are read in (1 MiB) and the destination is written in
// (8 MiB), or less for both (a test's small slices); 0 for those.
void BrowserSetSliceSize(DWORD bytes);
