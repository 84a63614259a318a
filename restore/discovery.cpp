// restore/discovery.cpp: brings in the next piece file: its name, opening it (asking for
// it while it cannot be opened), the search for its piece marker and its header.
#include "restore/discovery.h"

#include <string.h>

#include "format/piece.h"
#include "restore/recovery.h"

// The marker search reads blocks of 1024 bytes that overlap by 4, one less than the
// marker, so a marker that crosses a block's end lies whole in the next block.
const int kMaxSearchBlocks = 100;
const LONG kSearchOverlap = kPieceMarkerLength - 1;

// The piece file's name: the own path with what follows its last "." replaced by "d%02d"
// (Data.exe gives Data.d02, ..., Data.d99, Data.d100). A path without any "." gets the
// whole extension appended.
static void MakePieceName(RestoreRun *run)
{
    strcpy(run->pieceName, g_restoreInfo.ownPath);
    char *dot = strrchr(run->pieceName, '.');
    if (dot != NULL)
        wsprintfA(dot + 1, "d%02d", run->pieceNumber);
    else
        wsprintfA(run->pieceName + strlen(run->pieceName), ".d%02d", run->pieceNumber);
}

// Opens the piece file, asking the user to make it available for as long as it cannot be
// opened, or to leave it to the recovery file. FALSE when the user cancels; the run is then
// stopped.
static BOOL OpenPieceFile(RestoreRun *run)
{
    for (;;) {
        run->source = CreateFileA(run->pieceName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (run->source != INVALID_HANDLE_VALUE)
            return TRUE;
        if (OfferRebuild(run, kPieceMissing))
            return TRUE;
        wsprintfA(g_textBuffer, "次に %s を読み込みます。", run->pieceName);
        if (AskUser(g_textBuffer, "Parcelon 次のファイル", MB_ICONINFORMATION | MB_OKCANCEL) == IDCANCEL) {
            CloseRunFiles(run);
            return FALSE;
        }
    }
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

// Searches the file from its current position for the piece marker and leaves the
// position directly behind it. The file must be longer than every block read, so a piece
// file of 1024 bytes or less is never accepted; the search gives up after 100 blocks.
static BOOL FindPieceMarker(HANDLE file)
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

// Reads the later piece's header behind its marker; a set identifier that differs from
// the first piece's is put to the user before the records are read.
static BOOL ReadPieceHeader(RestoreRun *run)
{
    LaterPieceHeader header;
    ReadLaterPieceStart(run->source, &header);
    if (memcmp(header.setId, g_restoreInfo.setId, 2) != 0) {
        if (OfferRebuild(run, kPieceUnusable))
            return TRUE;
        wsprintfA(g_textBuffer, "「%s」は、\n現在復元中のファイルとは異なります。強行しますか？", run->pieceName);
        if (AskUser(g_textBuffer, "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO) == IDNO) {
            CloseRunFiles(run);
            return FALSE;
        }
    }
    if (!ReadLaterPieceRecords(run->source, &header)) {
        if (OfferRebuild(run, kPieceUnusable))
            return TRUE;
        StopForTruncatedPiece(run);
        return FALSE;
    }
    run->pieceRemainder = header.remaining;
    run->pieceHasCheck = header.hasDataCheck;
    run->pieceCheck = header.dataCheck;
    // A data count other than the recovery file's cannot give the piece's data.
    if (!BeginRecoveryPiece(run))
        OfferRebuild(run, kPieceUnusable);
    return TRUE;
}

BOOL BringInNextPiece(RestoreRun *run)
{
    MakePieceName(run);
    AdvanceRecoveryPiece(run);
    for (;;) {
        if (!OpenPieceFile(run))
            return FALSE;
        if (IsRebuildPiece(run))
            return TRUE;
        if (FindPieceMarker(run->source))
            break;
        if (OfferRebuild(run, kPieceUnusable))
            return TRUE;
        if (AskUser("分割ファイルが異常です。", "Parcelon", MB_ICONWARNING | MB_RETRYCANCEL) == IDCANCEL) {
            CloseRunFiles(run);
            return FALSE;
        }
        // Retry opens the file anew and searches it from its first byte: the user may
        // have put a sound copy in its place meanwhile.
        CloseHandle(run->source);
        run->source = INVALID_HANDLE_VALUE;
    }
    return ReadPieceHeader(run);
}
