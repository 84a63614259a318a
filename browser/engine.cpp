// browser/engine.cpp: the restore engine's entry for the page: the calls the page's script
// makes into the engine compiled to WebAssembly. The start-up load, a restore or a check
// run (the worker's routine, called directly: the page has no threads), and what the page
// shows before a run: the pieces' names and data counts, the recovery file's table and
// the check of its parity data. Each call that reads a file may suspend (Asyncify) while
// the page reads a slice, asks a question or writes.
#include <emscripten.h>
#include <string.h>

#include "format/crc16.h"
#include "format/crc64.h"
#include "format/piece.h"
#include "resource.h"
#include "format/recovery.h"
#include "restore/discovery.h"
#include "restore/recovery.h"
#include "restore/run.h"
#include "restore/load.h"
#include "restore/state.h"
#include "restore/without.h"
#include "restore/worker.h"
#include "shim.h"

namespace {

BOOL g_cancelled;

// The page's cancel button: the run stops at its next cancel test.
void Cancel(void)
{
    g_cancelled = TRUE;
    g_runState.store(kRunCancelRequested);
}

// A run's state for the reads before a run; the run's own lives in the worker.
RestoreRun g_probe;
double g_info[10];
BYTE g_parity[1 << 20];

} // namespace

extern "C" {

// After a start-up load: what it found. The destination is the stored name (the page's
// way of saving asks for or makes the real one); a failure is shown in its message box, about
// `path`. 1 when loaded, else 0.
static int Loaded(int loaded, const char *path)
{
    if (loaded != kLoaded) {
        ShowMessage(g_dialog, (MessageId)loaded, path);
        return 0;
    }
    SetDlgItemTextA(g_dialog, IDC_DESTINATION, g_restoreInfo.storedName);
    g_restoreInfoLoaded = TRUE;
    return 1;
}

// Makes the engine's state ready for a start-up load.
static void StartLoad(void)
{
    BrowserReset();
    BrowserSetCancelHook(NULL);
    g_dialog = BrowserDialog();
    g_restoreInfoLoaded = FALSE;
    memset(&g_restoreInfo, 0, sizeof g_restoreInfo);
}

// Reads the set's information from the executable exePath (code page 932) as the program
// does at start-up. 1 when loaded; 0 when the load failed, after its message box.
EMSCRIPTEN_KEEPALIVE int ParcelonLoad(const char *exePath)
{
    StartLoad();
    if (strlen(exePath) >= sizeof g_restoreInfo.ownPath)
        return Loaded(kMsgOwnUnopenable, exePath);
    strcpy(g_restoreInfo.ownPath, exePath);
    return Loaded(LoadFromExecutable(), exePath);
}

// Without the executable: the set's information from its recovery file recoveryPath, the
// executable taken to be exePath and its first piece left to the rebuild. 1 or 0 as above.
EMSCRIPTEN_KEEPALIVE int ParcelonLoadFromRecovery(const char *recoveryPath, const char *exePath)
{
    StartLoad();
    return Loaded(LoadFromRecovery(recoveryPath, exePath), recoveryPath);
}

// The loaded information: total size, first piece's data count, header length, set
// identifier (2), year, packed time, whether the first piece has a data-check record.
EMSCRIPTEN_KEEPALIVE const double *ParcelonInfo(void)
{
    const RestoreInfo &info = g_restoreInfo;
    g_info[0] = (double)info.totalSize;
    g_info[1] = (double)(info.firstPieceLength - info.headerLength);
    g_info[2] = info.headerLength;
    g_info[3] = info.setId[0];
    g_info[4] = info.setId[1];
    g_info[5] = info.year;
    g_info[6] = info.packedTime;
    g_info[7] = info.hasDataCheck;
    g_info[8] = info.firstPieceMissing;
    return g_info;
}

// The stored name, code page 932.
EMSCRIPTEN_KEEPALIVE const char *ParcelonStoredName(void)
{
    return g_restoreInfo.storedName;
}

// A restore into the page's sink, or a check (check != 0) that writes nowhere, with slices
// of sliceBytes (0: 1 MiB). 1 finished, 0 stopped, -1 cancelled.
EMSCRIPTEN_KEEPALIVE int ParcelonRun(int check, int sliceBytes)
{
    BrowserReset();
    BrowserSetSliceSize((DWORD)sliceBytes);
    BrowserSetDestination(check ? kToNowhere : kToPageSink, BrowserDialogText(IDC_DESTINATION));
    g_cancelled = FALSE;
    BrowserSetCancelHook(Cancel);
    g_runState.store(kRunRunning);
    RestoreWorker(NULL);
    BrowserSetCancelHook(NULL);
    BrowserReset();
    if (g_cancelled)
        return -1;
    return g_runState.load() == kRunIdle ? 1 : 0;
}

// Bytes the destination took in the last run.
EMSCRIPTEN_KEEPALIVE double ParcelonRunBytes(void)
{
    return (double)BrowserDestinationBytes();
}

// The message box being shown: its MessageId.
EMSCRIPTEN_KEEPALIVE int ParcelonShownMessage(void)
{
    return g_shownMessage;
}

// The name of piece number (2 or more; 0: the recovery file NAME.d00, -row: recovery row
// row), code page 932.
EMSCRIPTEN_KEEPALIVE const char *ParcelonPieceName(int number)
{
    if (number <= 0) {
        MakeRecoveryRowName(g_restoreInfo.ownPath, number < -1 && number >= -kMaxRecoveryRows ? -number : 1,
                            g_probe.pieceName);
    } else {
        g_probe.pieceNumber = number;
        MakePieceName(&g_probe);
    }
    return g_probe.pieceName;
}

// The data count of piece number (2 or more) as its file's header states it, read as a run
// reads it; -1 when its file is missing, holds no piece or ends inside its header.
EMSCRIPTEN_KEEPALIVE double ParcelonPieceDataCount(int number)
{
    BrowserReset();
    g_probe.pieceNumber = number;
    MakePieceName(&g_probe);
    double count = -1;
    if (OpenPieceFile(&g_probe) == kPieceSound) {
        LaterPieceHeader header;
        if (FindPieceMarker(&g_probe) == kPieceSound) {
            ReadPieceStart(&g_probe, &header);
            if (ReadPieceRecords(&g_probe, &header) == kPieceSound)
                count = (double)g_probe.pieceRemainder;
        }
        CloseHandle(g_probe.source);
    }
    BrowserReset();
    return count;
}

// Opens the set's recovery files as a run does: the piece count of the first usable one's
// table, 0 when there are files of their names but none is usable, -1 when there are none.
EMSCRIPTEN_KEEPALIVE int ParcelonRecovery(void)
{
    BrowserReset();
    ResetRecovery(&g_probe);
    OpenRecovery(&g_probe);
    if (HasRecovery(&g_probe))
        return g_probe.recovery.header.pieceCount;
    char name[kShortPathSize + 8];
    for (int row = 1; row <= kMaxRecoveryRows; row++) {
        MakeRecoveryRowName(g_restoreInfo.ownPath, row, name);
        if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES)
            return 0;
    }
    return -1;
}

// After ParcelonRecovery: recovery row row (1 for NAME.d00): 1 when the run takes it, 0 when
// a file of its name is not usable, -1 when there is none.
EMSCRIPTEN_KEEPALIVE int ParcelonRecoveryRow(int row)
{
    if (row < 1 || row > kMaxRecoveryRows)
        return -1;
    if (g_probe.recovery.rows[row - 1] != INVALID_HANDLE_VALUE)
        return 1;
    char name[kShortPathSize + 8];
    MakeRecoveryRowName(g_restoreInfo.ownPath, row, name);
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES ? 0 : -1;
}

// The data count of piece number (1 for the first) by the open recovery files' table; -1
// when the table does not hold it.
EMSCRIPTEN_KEEPALIVE double ParcelonRecoveryDataCount(int number)
{
    RecoveryEntry entry;
    if (!HasRecovery(&g_probe) || !ReadRecoveryEntry(g_probe.recovery.file, &g_probe.recovery.header, number, &entry))
        return -1;
    return (double)entry.dataCount;
}

// Whether the parity data of open recovery row row match their check (a check reads them
// itself: it rebuilds nothing).
EMSCRIPTEN_KEEPALIVE int ParcelonParityGood(int row)
{
    if (row < 1 || row > kMaxRecoveryRows || g_probe.recovery.rows[row - 1] == INVALID_HANDLE_VALUE)
        return 0;
    const HANDLE file = g_probe.recovery.rows[row - 1];
    // Every row states the same parity length; a later row holds it in whole symbols.
    Crc64 crc = 0;
    long long left = RecoveryRowParityBytes(g_probe.recovery.header.parityLength, row);
    SeekRecoveryParity(file, 0);
    while (left > 0) {
        const DWORD want = left < (long long)sizeof g_parity ? (DWORD)left : (DWORD)sizeof g_parity;
        DWORD got = 0;
        if (!ReadFile(file, g_parity, want, &got, NULL) || got != want)
            break;
        crc = Crc64Compute(crc, g_parity, got);
        left -= got;
    }
    return left == 0 && crc == g_probe.recovery.parityCrcs[row - 1];
}

// Closes the recovery files ParcelonRecovery opened.
EMSCRIPTEN_KEEPALIVE void ParcelonRecoveryDone(void)
{
    CloseRecovery(&g_probe);
    BrowserReset();
}

// The program's own rules, for the page's tests: the CRC-16 of count bytes from crc, and
// whether a stored name is a plain file name.
EMSCRIPTEN_KEEPALIVE int ParcelonCrc16(int crc, const BYTE *bytes, int count)
{
    return (int)Crc16Compute((WORD)crc, bytes, (size_t)count);
}

// The CRC-64/XZ of count bytes from crc (its halves in crc, low first), into crc.
EMSCRIPTEN_KEEPALIVE void ParcelonCrc64(DWORD *crc, const BYTE *bytes, int count)
{
    const Crc64 value = Crc64Compute((Crc64)crc[1] << 32 | crc[0], bytes, (size_t)count);
    crc[0] = (DWORD)value;
    crc[1] = (DWORD)(value >> 32);
}

EMSCRIPTEN_KEEPALIVE int ParcelonIsPlainFileName(const char *name)
{
    return IsPlainFileName(name);
}

} // extern "C"
