// restore/discovery.cpp: the steps of bringing in the next piece file: its name, opening
// it, the search for its piece marker and its header.
#include "restore/discovery.h"

#include <string.h>

// The marker search reads blocks of 1024 bytes that overlap by 4, one less than the
// marker, so a marker that crosses a block's end lies whole in the next block.
const int kMaxSearchBlocks = 100;
const LONG kSearchOverlap = kPieceMarkerLength - 1;

// The piece file's name: the own path with what follows its last "." replaced by "d%02d"
// (Data.exe gives Data.d02, ..., Data.d99, Data.d100). A path without any "." gets the
// whole extension appended.
void MakePieceName(RestoreRun *run)
{
    strcpy(run->pieceName, g_restoreInfo.ownPath);
    char *dot = strrchr(run->pieceName, '.');
    if (dot != NULL)
        wsprintfA(dot + 1, "d%02d", run->pieceNumber);
    else
        wsprintfA(run->pieceName + strlen(run->pieceName), ".d%02d", run->pieceNumber);
}

PieceVerdict OpenPieceFile(RestoreRun *run)
{
    run->source =
        CreateFileA(run->pieceName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    return run->source != INVALID_HANDLE_VALUE ? kPieceSound : kPieceMissing;
}

// The length of the text at the start of a block: up to its first zero byte.
static size_t TextLength(const char *block, size_t size)
{
    size_t length = 0;
    while (length < size && block[length] != 0)
        length++;
    return length;
}

// The offset of the marker among the first length bytes of a block, or -1.
static int FindMarkerInBlock(const char *block, size_t length)
{
    for (size_t i = 0; i + kPieceMarkerLength <= length; i++)
        if (memcmp(block + i, kPieceMarker, kPieceMarkerLength) == 0)
            return (int)i;
    return -1;
}

// The file must be longer than every block read, so a piece file of 1024 bytes or less is
// never accepted; the search gives up after 100 blocks.
static BOOL SearchForMarker(HANDLE file)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    long long fileSize = (long long)high << 32 | low;
    for (int blockCount = 1; blockCount <= kMaxSearchBlocks; blockCount++) {
        if ((long long)blockCount * kBlockSize >= fileSize)
            return FALSE;
        DWORD got = 0;
        ReadFile(file, g_textBuffer, kBlockSize, &got, NULL);
        // The block is searched as text: a zero byte ends it. Only the bytes that arrived
        // take part, and a read that fails ends the search.
        int offset = FindMarkerInBlock(g_textBuffer, TextLength(g_textBuffer, got));
        if (offset >= 0) {
            SetFilePointer(file, offset + kPieceMarkerLength - (LONG)got, NULL, FILE_CURRENT);
            return TRUE;
        }
        if (got < kBlockSize)
            return FALSE;
        SetFilePointer(file, -kSearchOverlap, NULL, FILE_CURRENT);
    }
    return FALSE;
}

PieceVerdict FindPieceMarker(RestoreRun *run)
{
    return SearchForMarker(run->source) ? kPieceSound : kPieceNoMarker;
}

PieceVerdict ReadPieceStart(RestoreRun *run, LaterPieceHeader *header)
{
    ReadLaterPieceStart(run->source, header);
    return memcmp(header->setId, g_restoreInfo.setId, 2) == 0 ? kPieceSound : kPieceForeign;
}

PieceVerdict ReadPieceRecords(RestoreRun *run, LaterPieceHeader *header)
{
    if (!ReadLaterPieceRecords(run->source, header))
        return kPieceCutShort;
    run->pieceRemainder = header->remaining;
    run->pieceHasCheck = header->hasDataCheck;
    run->pieceCheck = header->dataCheck;
    return kPieceSound;
}
