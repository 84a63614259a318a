// restore/run.h: one restore run's state and the helpers that the worker, next-piece
// discovery, the pre-flight check and the download mark share: asking the user and
// stopping the run.
#pragma once
#include <windows.h>

#include "format/recovery.h"
#include "restore/messages.h"
#include "restore/state.h"

const DWORD kBlockSize = 1024;

// One piece set aside for the rebuild after the last piece.
struct AsidePiece {
    LONG piece;         // its number, 1 for the first
    long long start;    // its range in the destination
    long long length;
    Crc64 crc;          // the CRC-64 its data must have
    Crc64 rebuiltCrc;   // CRC-64 of its rebuilt data so far
};

// What a run knows of its recovery files. A run without a usable one has file
// INVALID_HANDLE_VALUE and behaves as if this did not exist.
struct RunRecovery {
    HANDLE file;                   // the first usable recovery file: its table serves the run
    char path[kShortPathSize + 8]; // its path, named in messages
    RecoveryHeader header;         // its header
    HANDLE rows[kMaxRecoveryRows]; // every usable recovery file by its row (file among them);
                                   // INVALID_HANDLE_VALUE where there is none
    int usableRows;
    Crc64 parityCrcs[kMaxRecoveryRows]; // each usable one's check of its parity data
    RecoveryEntry entry;           // the current piece's entry of the piece table
    long long pieceStart;          // where the current piece's data belong in the file, by the table
    LONG refusedPiece;             // the piece whose rebuild the user refused; 0: none
    int asideCount;                // pieces set aside, at most one per usable row
    AsidePiece aside[kMaxRecoveryRows];
    long long pendingBytes;        // bytes of their ranges the progress has not counted yet
    long long pendingAtStart;
    long long rebuildLength;       // the longest range set aside
    long long rebuildAt;           // offset in the pieces' data of the next block to rebuild
    int solvedFor;                 // pieces set aside when the rows below were chosen; 0: not yet
    int usedRows[kMaxRecoveryRows];                // the rows read, one per piece set aside
    WORD solve[kMaxRecoveryRows * kMaxRecoveryRows]; // turns their sums into the pieces' data
};

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
    BOOL pieceHasCheck;                    // this piece's header holds a data-check record
    Crc64 pieceCheck;                      // the CRC-64 that record states
    Crc64 pieceCrc64;                      // CRC-64 of this piece's data copied so far, kept
                                           // while the record or the recovery file needs it
    HWND progress;                         // the progress bar
    int lastPosition;                      // the progress position last sent in this run
    BYTE block[kBlockSize];                // one block on its way to the destination
    RunRecovery recovery;                  // the recovery file, when the set has a usable one
};

// What one step of a piece (bringing it in, copying it, verifying it) found.
enum PieceVerdict {
    kPieceSound,        // the step went through; the piece goes on
    kPieceMissing,      // its file cannot be opened
    kPieceNoMarker,     // its file holds no piece marker where the search looks
    kPieceForeign,      // its set identifier is another set's
    kPieceCutShort,     // its header or data end early
    kPieceCheckFailed,  // its data fail a check
    kPieceCountDiffers, // its data count is not the recovery file's (a recovery file's finding only)
    kPieceStopped,      // the run stopped: cancelled, or the destination failed (already reported)
};

// Shows a message box of the catalogue owned by the dialog and returns the answer.
int AskUser(MessageId id, const char *a = NULL, const char *b = NULL, const char *c = NULL);

// Closes whichever files of the run are open. Every stop goes through here.
void CloseRunFiles(RestoreRun *run);

// Closes the recovery files, if open: the run goes on as without them.
void CloseRecovery(RestoreRun *run);
