// restore/discovery.h: the steps that bring in the next piece file of a run, each giving
// its verdict to the worker, which decides what follows.
#pragma once
#include "format/piece.h"
#include "restore/run.h"

// Names the file of piece run->pieceNumber (2 or more) in run->pieceName.
void MakePieceName(RestoreRun *run);
// One attempt to open the piece file: kPieceSound with the source open at its first byte,
// or kPieceMissing.
PieceVerdict OpenPieceFile(RestoreRun *run);
// Searches the open piece file from its current position for the piece marker:
// kPieceSound with the position directly behind it, or kPieceNoMarker.
PieceVerdict FindPieceMarker(RestoreRun *run);
// The first half of the later-piece header behind the marker: kPieceForeign when its set
// identifier is not the first piece's, else kPieceSound.
PieceVerdict ReadPieceStart(RestoreRun *run, LaterPieceHeader *header);
// The header's records: kPieceSound with the position at the first data byte and the
// piece's data count and data-check record taken into the run, or kPieceCutShort.
PieceVerdict ReadPieceRecords(RestoreRun *run, LaterPieceHeader *header);
