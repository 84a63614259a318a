// restore/discovery.h: bringing in the next piece file of a run.
#pragma once
#include "restore/run.h"

// Brings in piece run->pieceNumber (2 or more) after the previous source was closed: on
// TRUE the source is open at the piece's first data byte, run->pieceName names it and
// run->pieceRemainder holds its data count; on FALSE the run was stopped (files closed).
BOOL BringInNextPiece(RestoreRun *run);
