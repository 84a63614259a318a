// restore/state.h: what a restore run shares with whoever shows it: the restore
// information the start-up load reads, the run state, the window the run reports to and
// the text buffer messages are formatted into.
#pragma once
#include <windows.h>

#include <atomic>

#include "format/piece.h"

// The run state shared by the dialog and the worker.
enum : LONG { kRunIdle = 0, kRunRunning = 1, kRunCancelRequested = -2, kRunStopped = -1 };

const int kTextBufferSize = 2048;
// Paths as the start-up load keeps them, and as the worker holds them.
const int kShortPathSize = 260;
const int kPathBufferSize = 1284;

// What the start-up load reads from the executable's own first piece.
struct RestoreInfo {
    char ownPath[kShortPathSize];
    long long totalSize;
    long long firstPieceLength;
    LONG headerLength;
    BYTE setId[2];
    WORD year;
    DWORD packedTime;
    char storedName[kNameHolderSize];
    char extension[kNameHolderSize];
    BOOL hasDataCheck; // the first piece's header holds a data-check record
    Crc64 dataCheck;   // its CRC-64 of the first piece's data
    // The executable is missing: the information comes from the recovery file, and the
    // first piece's data are rebuilt from it (never so in the executable itself).
    BOOL firstPieceMissing;
};

// The dialog: the run reads its destination field, moves its progress bar and owns its
// message boxes. Set by whoever creates it, before a run starts.
extern HWND g_dialog;
extern std::atomic<LONG> g_runState;  // 0 idle, 1 running, -2 cancel requested, -1 stopped
extern RestoreInfo g_restoreInfo;     // written by the start-up load only, read afterwards
extern BOOL g_restoreInfoLoaded;      // set by the start-up load once g_restoreInfo is complete
// The text buffer: the start-up load, the chooser and one restore run use it in turn.
extern char g_textBuffer[kTextBufferSize];
