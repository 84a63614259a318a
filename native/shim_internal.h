// native/shim_internal.h: between the stand-in's own files: the handle ranges, the loud
// refusal, and the narrow questions the platform files put to the test controls (faults.cpp,
// logs.cpp). Neither the front ends nor the program include it.
#pragma once
#include <windows.h>
#include <commdlg.h>

#include <stddef.h>
#include <stdint.h>

// Between the platform files

// Thread handles start here (threads.cpp); file handles lie below (files.cpp).
const uintptr_t kShimFirstThreadHandle = 0x10000000;
// Prints what the stand-in does not model and aborts.
[[noreturn]] void ShimRefuse(const char *call, const char *what);
// Closes a handle CreateThread returned; FALSE when the handle is not one.
BOOL ShimCloseThreadHandle(HANDLE handle);
// Makes room for the threads and handles a run starts, so that CreateThread does not
// allocate; ShimReset calls it.
void ShimReserveThreads(void);
// The handles CreateFileA opened that are not closed yet.
int ShimCountOpenFiles(void);
// Forgets the Save dialog's handler and its last extended error; ShimReset calls it.
void ShimResetSaveDialog(void);
// A Save dialog's record up to lpTemplateName as this build lays it out: the members a
// program that knows no later ones passes, and what the log keeps of every record.
const size_t kShimShortRecordSize = offsetof(OPENFILENAMEA, pvReserved);

// What the platform files ask the fault switches (faults.cpp). A call that the switches
// count takes its number first, before it looks at its handle, and asks about its fault
// once the handle is found good.

// Numbers a ReadFile call (1 for the first since ShimResetFaults).
DWORD ShimNumberReadCall(void);
// The fault on ReadFile number `call`: ERROR_READ_FAULT when it fails with nothing read, else
// NO_ERROR with *count lowered for a short read.
DWORD ShimFaultOnRead(DWORD call, DWORD *count);
// Numbers a WriteFile call (1 for the first since ShimResetFaults).
DWORD ShimNumberWriteCall(void);
// The fault on WriteFile number `call` of *count bytes at `position` (what the sink has
// taken, for the sink): ERROR_WRITE_FAULT when it fails after the first *count bytes went
// out, ERROR_DISK_FULL when it fails with nothing written, else NO_ERROR with *count lowered
// for a short write.
DWORD ShimFaultOnWrite(DWORD call, long long position, DWORD *count);
// Counts a write-behind buffer going out to its file and answers whether the disk fails it.
bool ShimFaultOnFlush(void);
// Numbers a FlushFileBuffers call (1 for the first since ShimResetFaults).
DWORD ShimNumberSyncCall(void);
// Whether FlushFileBuffers number `call` fails.
bool ShimFaultOnSync(DWORD call);
// Counts a folder FlushFileBuffers made durable.
void ShimCountFolderSync(void);
// Whether the next CreateThread fails; the switch is used up.
bool ShimFaultOnCreateThread(void);
// Whether the next CreateDialogParamA fails; if not, *omittedControl is the control it
// leaves out (0: none). Each switch is used up by the call it acts on.
bool ShimFaultOnCreateDialog(int *omittedControl);

// What the platform files ask the scripted machine (faults.cpp).

// Whether a name that names a stream is a plain file of that name.
bool ShimStreamsAsFiles(void);
// Whether GetFileTitleA leaves out the extension.
bool ShimFileTitleHidesExtension(void);
// Scripted volumes live in fixed storage, so that the calls allocate nothing during a run.
const size_t kShimVolumePathSize = 1024;
const size_t kShimFileSystemNameSize = 32;
struct ShimScriptedVolume {
    char prefix[kShimVolumePathSize];
    long long availableBytes;
    bool hasFileSystem;
    char fileSystem[kShimFileSystemNameSize];
};
// The scripted volume with the longest prefix of path; false when none holds it.
bool ShimFindScriptedVolume(const char *path, ShimScriptedVolume *found);

// What the platform files tell the logs (logs.cpp).

// A dialog was created: room is made in the progress history, so that a run's PBM_SETPOS
// does not allocate on the worker.
void ShimLogDialogCreated(void);
// A PBM_SETPOS value as sent, before the progress bar clamped it.
void ShimLogProgress(int requested);
// A PostMessageA call as made.
void ShimLogPosted(const MSG &posted);
// A message box shown, with the handler's answer.
void ShimLogMessageBox(HWND owner, const char *text, const char *caption, UINT type, int answer);
// A GetSaveFileNameA call as it opened, before the handler answered.
void ShimLogSaveDialog(const OPENFILENAMEA *ofn);

// Clears every test control: the fault switches and counters, the scripted machine and
// the logs; ShimReset calls it.
void ShimResetTesting(void);
