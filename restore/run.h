// restore/run.h: one restore run's state and the helpers that the worker, next-piece
// discovery, the pre-flight check and the download mark share: asking the user and
// stopping the run.
#pragma once
#include <windows.h>

#include "restore/recovery.h"
#include "ui/state.h"

const DWORD kBlockSize = 1024;

// One restore run's own state. It lives on the worker's stack and ends with the run.
struct RestoreRun {
    HANDLE source;                         // the file of the piece being read
    HANDLE destination;                    // the file being restored
    char destinationPath[kPathBufferSize]; // from the destination field at the start
    char pieceName[kPathBufferSize];       // path of the piece being read, shown in messages
    int pieceNumber;                       // 1 for the first piece
    long long pieceRemainder;              // data bytes of this piece not yet copied
    long long remainingTotal;              // total size minus the bytes written; may go below 0
    UINT pieceCrc;                         // CRC of this piece's data copied so far
    HWND progress;                         // the progress bar
    int lastPosition;                      // the progress position last sent in this run
    BYTE block[kBlockSize];                // one block on its way to the destination
    RunRecovery recovery;                  // the recovery file, when the set has a usable one
};

// Shows a message box owned by the dialog and returns the answer.
int AskUser(const char *text, const char *caption, UINT type);

// Closes whichever files of the run are open. Every stop goes through here.
void CloseRunFiles(RestoreRun *run);

// Shows that a piece ends too early and stops the run (its text is formatted in the
// block buffer, which is free by then).
void StopForTruncatedPiece(RestoreRun *run);
