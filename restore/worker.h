// restore/worker.h: the restore worker thread and the per-run state it shares with
// next-piece discovery.
#pragma once
#include <windows.h>

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
};

// The thread routine Start runs. Its last action sets the run state: 0 after a finished
// restore, -1 after a failure, a refusal or a cancel.
DWORD WINAPI RestoreWorker(LPVOID unused);

// Closes whichever files of the run are open. Every stop goes through here.
void CloseRunFiles(RestoreRun *run);

// Shows a message box owned by the dialog and returns the answer.
int AskUser(const char *text, const char *caption, UINT type);

// Brings in piece run->pieceNumber (2 or more) after the previous source was closed: on
// TRUE the source is open at the piece's first data byte, run->pieceName names it and
// run->pieceRemainder holds its data count; on FALSE the run was stopped (files closed).
BOOL BringInNextPiece(RestoreRun *run);

// Shows that a piece ends too early and stops the run (its text is formatted in the
// block buffer, which is free by then).
void StopForTruncatedPiece(RestoreRun *run);

// Before the destination is created: stops the run (files closed, FALSE) when its volume
// cannot hold a file of the total size, or when it has no room for it and the user
// declines to go on.
BOOL CheckDestinationVolume(RestoreRun *run);

// What a file's name is followed by to name its download mark (its Zone.Identifier stream).
extern const char kZoneStream[];

// Right after the destination is created: gives it the internet-zone mark of the
// executable, if the executable carries one. Failures change nothing.
void CarryZoneMark(RestoreRun *run);

// The zone that a mark's text names in its [ZoneTransfer] section, or -1 when it names
// none. `complete` tells whether the text is the whole mark or only its beginning.
int ZoneOfMark(const char *text, size_t length, BOOL complete);
