// restore/recovery.h: a restore run's use of the recovery files NAME.d00, NAME.d00.02, ...:
// the 64-bit check of every piece's data, as many pieces that are lost or cannot be used
// set aside as there are usable recovery files, and their rebuild after the last piece. The module keeps its own state; the worker's counts and
// files are the worker's.
#pragma once
#include <windows.h>

struct RestoreRun;

// The recovery file's name: the executable's path with "d00" after its last ".".
void MakeRecoveryName(const char *ownPath, char *name);
// The name of recovery row (1 for NAME.d00; then NAME.d00.02, ...); name holds
// kShortPathSize + 8 bytes.
void MakeRecoveryRowName(const char *ownPath, int row, char *name);

// Sets the run up without a recovery file; the first thing a run does.
void ResetRecovery(RestoreRun *run);
// Opens every recovery file of the set and keeps those whose header is sound and that
// belong to this set (the same identifier, total size, name, time stamp, first piece's
// data count and, when the first piece has a data-check record, its CRC-64); anything else
// is ignored without a word. Called at the start of a run, before the destination is created; the first
// piece's entry is then the current one.
void OpenRecovery(RestoreRun *run);
// Whether the run has a usable recovery file.
BOOL HasRecovery(const RestoreRun *run);

// The destination's access: it is read back for a rebuild.
DWORD DestinationAccess(const RestoreRun *run);

// Before each later piece is looked for: its table entry becomes the current one.
void TrackRecoveryPiece(RestoreRun *run);
// Whether a later piece's data count is the table's (TRUE without a recovery file or
// without an entry): a piece with another cannot give its data.
BOOL RecoveryCountAgrees(const RestoreRun *run, long long dataCount);
// Whether the current piece's data, all copied, match their CRC-64 in the table (TRUE
// without a recovery file).
BOOL PieceMatchesTable(const RestoreRun *run);

// Whether the current piece may be offered to the rebuild: the run has recovery files
// whose table holds the piece, fewer pieces are set aside than there are usable recovery
// files, the piece is not set aside already, and the user has not refused it.
BOOL CanRebuildPiece(const RestoreRun *run);
// The user refused the rebuild of the current piece: it is not offered again.
void RefuseRebuild(RestoreRun *run);
// Sets the current piece aside for the rebuild after the last piece; `written` is what the
// destination holds so far. Returns the end of the piece's range in the destination: the
// run goes on from there.
long long SetPieceAside(RestoreRun *run, long long written);
// Whether the current piece is set aside, so its own data and checks no longer count.
BOOL IsSetAside(const RestoreRun *run);
// The bytes of the ranges set aside that the progress does not count yet.
long long PendingProgressBytes(const RestoreRun *run);

enum RebuildStep { kRebuildDone, kRebuildGoesOn, kRebuildFailedWrite, kRebuildFailedCheck };
// After the last piece, one block of the rebuild of the ranges set aside: one recovery
// row's parity data for each, less every other piece's data read back from the
// destination, solved for the pieces set aside, 1024 bytes a call, written into their
// ranges. The last call checks each range against its CRC-64. kRebuildDone when
// there is nothing (more) to do and the check holds; kRebuildGoesOn after a block;
// kRebuildFailedWrite when the destination did not take the block; kRebuildFailedCheck after a
// failed check or read, which has been reported. Both failures are the caller's to stop.
RebuildStep RebuildNextBlock(RestoreRun *run);
// Where the first range set aside begins in the destination (0 when none is).
long long RebuildStart(const RestoreRun *run);
