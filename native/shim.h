// native/shim.h: the controls of the native stand-in for the Windows calls that a front end
// draws from: the module path, the write sink, the file buffers, the dialog as it is drawn, and
// the handlers that answer message boxes and the Save dialog. The tests' fault switches and
// logs are in shim_testing.h.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <string>
#include <vector>

// Everything: clears the handlers, write sink and module path and every test control of
// shim_testing.h (logs, faults, scripted volumes), destroys every dialog (pending cross-thread
// sends return 0, queues and timers are dropped), then waits for the threads CreateThread
// started. Tests call it between cases.
void ShimReset(void);

// Files

// The path GetModuleFileNameA answers; NULL forgets it (the call then refuses loudly).
void ShimSetModulePath(const char *path);

// The write sink, for a check that reads a whole set and keeps nothing. While a path is
// set, CreateFileA for writing on exactly that path opens nothing on disk: its handle takes
// every byte written and keeps none (SetFileTime on it succeeds and changes nothing), and
// GetFileAttributesA finds no file of that name, so no overwrite question arises. Setting
// it zeroes its count and empties its log of opens; NULL or "" removes it.
void ShimSetWriteSink(const char *path);
// Bytes the sink has taken since it was set.
long long ShimSinkBytes(void);
// One CreateFileA for reading made while the sink was set.
struct ShimSourceOpen {
    std::string path;
    bool opened;         // false when the open failed
    long long sinkBytes; // what the sink had taken when the open was made
};
// Every such open in the order they were made: they tell which file the bytes the sink
// took came from.
std::vector<ShimSourceOpen> ShimSourceOpens(void);

// Streams. A name whose last part holds a colon names a stream of a file (name:stream).
// CreateFileA and the attribute queries refuse it (ERROR_INVALID_NAME), as a volume
// without streams does.

// Names. A file opened for reading whose exact name is absent is found as Windows finds it:
// the one name in its folder that differs only in the case of ASCII letters (with two or
// more such names, none: the open fails as for an absent file).

// Read-ahead and write-behind. A file opened for reading that no other handle may write
// (no FILE_SHARE_WRITE) is read from the disk in blocks of this size and ReadFile is served
// from them; a file opened for writing that no other handle may open (share mode 0) keeps
// what WriteFile gives it in such a buffer, which goes to the disk when a write no longer
// fits and before SetFilePointer, GetFileSize, SetFileTime and CloseHandle. The stand-in has
// one buffer of each kind, fixed storage: a further file open at the same time is read or
// written straight through. Every call answers as it would unbuffered, except that a failure
// of the disk while a buffer goes out is reported by the WriteFile that sent it or else by the
// handle's CloseHandle. The size applies to files opened from now on: 0 turns both off, and
// it is at most kShimMaxFileBuffer. ShimReset sets kShimDefaultFileBuffer.
const DWORD kShimMaxFileBuffer = 4 << 20;
const DWORD kShimDefaultFileBuffer = 1 << 20;
void ShimSetFileBuffers(DWORD bytes);

// Threads

// Waits until every thread CreateThread started has ended, including threads they start.
// Refuses loudly when called from one of those threads.
void ShimJoinThreads(void);

// Windows, dialog and messages

// Multiplies every timer interval (0.05 makes a 500 ms timer fire every 25 ms).
void ShimSetTimeScale(double scale);
// The dialog created last, or NULL when it is destroyed or none was created.
HWND ShimDialog(void);

// One control of a dialog as a front end draws it.
struct ShimControl {
    HWND window;
    int id;
    std::string className;
    std::string text; // code page 932 bytes
    bool enabled;
    int rangeLow, rangeHigh, position; // progress bars only
};
// The dialog's controls in template order; empty when the dialog is not alive.
std::vector<ShimControl> ShimDialogControls(HWND dialog);

// Called on the thread that made the change, outside the stand-in's lock, after a window's
// text, enabled state, visibility or progress position was set, a message box was recorded,
// or a dialog was created or destroyed. `window` is what changed (the owner for a message box, which may be NULL).
typedef void (*ShimObserver)(void *context, HWND window);
void ShimSetObserver(ShimObserver observer, void *context);

// Message boxes

// Answers MessageBoxA on the calling thread; returns IDOK, IDCANCEL, IDYES, ...
typedef int (*ShimMessageBoxHandler)(void *context, HWND owner, const char *text, const char *caption,
                                     UINT type);
void ShimSetMessageBoxHandler(ShimMessageBoxHandler handler, void *context);

// The Save dialog

// Answers GetSaveFileNameA on the calling thread: TRUE after writing the chosen path into
// ofn->lpstrFile (at most nMaxFile bytes with its zero), or FALSE after setting
// *extendedError (0 for a cancel).
typedef BOOL (*ShimSaveDialogHandler)(void *context, OPENFILENAMEA *ofn, DWORD *extendedError);
void ShimSetSaveDialogHandler(ShimSaveDialogHandler handler, void *context);
