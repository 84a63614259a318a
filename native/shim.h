// native/shim.h: the controls of the native stand-in for the Windows calls: fault switches,
// logs and answer handlers for the tests, and the hooks a terminal front end draws from.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <string>
#include <vector>

// Everything: clears the logs, handlers, faults, scripted volumes, write sink and module path, destroys every dialog
// (pending cross-thread sends return 0, queues and timers are dropped), then waits for the
// threads CreateThread started. Tests call it between cases.
void ShimReset(void);

// Files

// The path GetModuleFileNameA answers; NULL forgets it (the call then refuses loudly).
void ShimSetModulePath(const char *path);
// Whether GetFileTitleA leaves out the extension, as Explorer's "hide extensions" does.
void ShimSetFileTitleHidesExtension(BOOL hide);
// The handles CreateFileA opened that are not closed yet.
int ShimOpenFileCount(void);

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
// without streams does; with the switch on, it is a plain file of that name, as Wine keeps
// streams. ShimReset turns it off.
void ShimSetStreamsAsFiles(BOOL asFiles);

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

// Fault switches. "nth" counts calls of all files and threads from the moment the switch is
// set, 1 being the next call; 0 or less disarms it. Setting a switch again replaces it.
// The nth ReadFile returns FALSE (ERROR_READ_FAULT) with nothing read.
void ShimFailReadFile(int nth);
// The nth ReadFile delivers at most `bytes` bytes and returns TRUE.
void ShimShortReadFile(int nth, DWORD bytes);
// The nth WriteFile writes at most `bytesFirst` bytes, then returns FALSE (ERROR_WRITE_FAULT)
// with *written 0.
void ShimFailWriteFile(int nth, DWORD bytesFirst);
// The nth WriteFile writes at most `bytes` bytes, reports them and returns TRUE.
void ShimShortWriteFile(int nth, DWORD bytes);
// A disk of `bytes` bytes: a WriteFile that would take a file past it writes nothing and
// returns FALSE (ERROR_DISK_FULL). Below 0 the disk has no limit.
void ShimSetFullDisk(long long bytes);
// A scripted volume: every path that begins with `prefix` lies on a volume whose root is
// `prefix`, with `availableBytes` free for the caller (below 0: GetDiskFreeSpaceExA fails)
// and the file system `fileSystem` (NULL: GetVolumeInformationA fails). Other paths lie
// on the real file system's volumes. A later call for the same prefix replaces it; NULL
// or "" forgets every scripted volume.
void ShimSetVolume(const char *prefix, long long availableBytes, const char *fileSystem);
// The nth time a write-behind buffer goes out to its file, nothing of it arrives and the
// disk reports ERROR_WRITE_FAULT: the WriteFile that sent it fails, or, when SetFilePointer,
// GetFileSize, SetFileTime or CloseHandle sent it, the handle's next WriteFile or its
// CloseHandle does. Counted over all files.
void ShimFailFlush(int nth);
// The nth FlushFileBuffers returns FALSE (ERROR_WRITE_FAULT) and changes nothing: what
// is still behind goes out at the close. Counted over all files.
void ShimFailFlushFileBuffers(int nth);
// Whether the next CreateThread fails (NULL, ERROR_NOT_ENOUGH_MEMORY).
void ShimFailNextCreateThread(BOOL fail);
// ReadFile and WriteFile calls since the last ShimResetFaults.
DWORD ShimReadFileCalls(void);
DWORD ShimWriteFileCalls(void);
// Folders FlushFileBuffers made durable since the last ShimResetFaults: those of files
// that their open created.
DWORD ShimFolderSyncs(void);
// Disarms every fault switch, lifts the disk limit and zeroes the call counters.
void ShimResetFaults(void);

// Threads

// Waits until every thread CreateThread started has ended, including threads they start.
// Refuses loudly when called from one of those threads.
void ShimJoinThreads(void);

// Windows, dialog and messages

// The next CreateDialogParamA returns NULL.
void ShimFailNextCreateDialog(void);
// The next CreateDialogParamA leaves out the control with this ID (0: none), as a
// damaged template would.
void ShimOmitNextDialogControl(int id);
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

// Every PBM_SETPOS value as sent, before the progress bar clamped it.
std::vector<int> ShimProgressHistory(void);
void ShimClearProgressHistory(void);
// Every PostMessageA call (time holds the tick count of the call).
std::vector<MSG> ShimPostedMessages(void);
void ShimClearPostedMessages(void);

// Message boxes

// Answers MessageBoxA on the calling thread; returns IDOK, IDCANCEL, IDYES, ...
typedef int (*ShimMessageBoxHandler)(void *context, HWND owner, const char *text, const char *caption,
                                     UINT type);
void ShimSetMessageBoxHandler(ShimMessageBoxHandler handler, void *context);

struct ShimMessageBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    int answer;
};
// Every message box shown, with the handler's answer.
std::vector<ShimMessageBox> ShimMessageBoxes(void);
void ShimClearMessageBoxes(void);

// The Save dialog

// Answers GetSaveFileNameA on the calling thread: TRUE after writing the chosen path into
// ofn->lpstrFile (at most nMaxFile bytes with its zero), or FALSE after setting
// *extendedError (0 for a cancel).
typedef BOOL (*ShimSaveDialogHandler)(void *context, OPENFILENAMEA *ofn, DWORD *extendedError);
void ShimSetSaveDialogHandler(ShimSaveDialogHandler handler, void *context);

struct ShimSaveDialogCall {
    OPENFILENAMEA record;   // the members up to lpTemplateName as passed; the rest zero
    std::string filter;     // every filter string with its zero, without the closing zero
    std::string fileName;   // lpstrFile's text when the dialog opened
    std::string initialDir; // the texts the record points to ("" for NULL)
    std::string title;
    std::string defExt;
};
std::vector<ShimSaveDialogCall> ShimSaveDialogCalls(void);
void ShimClearSaveDialogCalls(void);

// Between the stand-in's own files; not for tests.

// Thread handles start here (threads.cpp); file handles lie below (files.cpp).
const uintptr_t kShimFirstThreadHandle = 0x10000000;
// Prints what the stand-in does not model and aborts.
[[noreturn]] void ShimRefuse(const char *call, const char *what);
// Closes a handle CreateThread returned; FALSE when the handle is not one.
BOOL ShimCloseThreadHandle(HANDLE handle);
