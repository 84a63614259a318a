// native/shim_testing.h: the native stand-in's controls for the tests: fault switches, call
// counters, the scripted machine (volumes, streams, file titles) and the logs of what the
// program showed and sent. ShimReset (shim.h) clears all of them.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include "shim.h"

#include <string>
#include <vector>

// Files

// Whether GetFileTitleA leaves out the extension, as Explorer's "hide extensions" does.
void ShimSetFileTitleHidesExtension(BOOL hide);
// The handles CreateFileA opened that are not closed yet.
int ShimOpenFileCount(void);
// With the switch on, a name that names a stream (name:stream) is a plain file of that name,
// as Wine keeps streams, rather than refused. ShimReset turns it off.
void ShimSetStreamsAsFiles(BOOL asFiles);

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

// Windows, dialog and messages

// The next CreateDialogParamA returns NULL.
void ShimFailNextCreateDialog(void);
// The next CreateDialogParamA leaves out the control with this ID (0: none), as a
// damaged template would.
void ShimOmitNextDialogControl(int id);

// Every PBM_SETPOS value as sent, before the progress bar clamped it.
std::vector<int> ShimProgressHistory(void);
void ShimClearProgressHistory(void);
// Every PostMessageA call (time holds the tick count of the call).
std::vector<MSG> ShimPostedMessages(void);
void ShimClearPostedMessages(void);

// Message boxes

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
