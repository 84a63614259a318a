// restore/recovery.h: a restore run's use of the recovery file NAME.d00: the 64-bit check
// of every piece's data, the offer to rebuild one piece that is lost or cannot be used,
// and the rebuild itself after the last piece.
#pragma once
#include <windows.h>

struct RestoreRun;

// The recovery file's name: the executable's path with "d00" after its last ".".
void MakeRecoveryName(const char *ownPath, char *name);

// Sets the run up without a recovery file; the first thing a run does.
void ResetRecovery(RestoreRun *run);
// Opens NAME.d00 and keeps it when its header is sound and it belongs to this set (the
// same identifier, total size, name, time stamp, first piece's data count and, when the
// first piece has a data-check record, its CRC-64); anything
// else is ignored without a word. Called at the start of a run, before the destination
// is created; the first piece's entry is then the current one.
void OpenRecovery(RestoreRun *run);
// Whether the run has a usable recovery file.
BOOL HasRecovery(const RestoreRun *run);

// The destination's access: it is read back for a rebuild.
DWORD DestinationAccess(const RestoreRun *run);

// A later piece's header has been read: its table entry becomes the current one. FALSE
// when its data count differs from the table's (the piece cannot be used whole).
BOOL BeginRecoveryPiece(RestoreRun *run);
// Whether the current piece's data, all copied, match their CRC-64 (TRUE without a
// recovery file).
BOOL PieceMatchesTable(const RestoreRun *run);
// Whether the current piece is the one being rebuilt, so its own data and check value no
// longer count.
BOOL IsRebuildPiece(const RestoreRun *run);

enum RebuildReason { kPieceMissing, kPieceUnusable };
// Offers to rebuild the current piece from the recovery file, when there is one and no
// piece of this run is being rebuilt yet. Yes: the piece's range is left for later, the
// destination moves to the range's end, the source is closed and the run goes on with the
// next piece (or finishes); TRUE. No, or no offer: FALSE, and today's flow follows.
BOOL OfferRebuild(RestoreRun *run, RebuildReason reason);
// The bytes of the range left for later that the progress does not count yet.
long long PendingProgressBytes(const RestoreRun *run);

// Before each later piece is looked for: its table entry becomes the current one.
void AdvanceRecoveryPiece(RestoreRun *run);

enum RebuildStep { kRebuildDone, kRebuildGoesOn, kRebuildFailedWrite, kRebuildStopped };
// After the last piece, one block of the rebuild of the range left for later: the parity
// data XOR every other piece's data read back from the destination, 1024 bytes a call,
// written into the range. The last call checks the range against its CRC-64 and the parity
// data against theirs. kRebuildDone when there is nothing (more) to do and both checks
// hold; kRebuildGoesOn after a block; kRebuildFailedWrite when the destination did not take
// the block (the caller reports it); kRebuildStopped after a failed check or read, which
// has been reported and the run's files closed.
RebuildStep RebuildNextBlock(RestoreRun *run);
