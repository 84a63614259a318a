// restore/load.cpp: the start-up load from the executable's own first piece.
#include "restore/load.h"

#include <string.h>

#include "format/piece.h"
#include "format/text.h"
#include "restore/state.h"

void TakeExtension(void)
{
    RestoreInfo &info = g_restoreInfo;
    const char *dot = strrchr(info.storedName, '.');
    info.extension[0] = 0;
    if (dot == NULL)
        return;
    strcpy(info.extension, dot + 1);
    for (char *p = info.extension; *p; p++)
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
}

// Keeps what the header read produced.
static void KeepHeader(const FirstPieceHeader &header)
{
    RestoreInfo &info = g_restoreInfo;
    info.totalSize = header.totalSize;
    info.firstPieceLength = header.pieceLength;
    memcpy(info.setId, header.setId, sizeof info.setId);
    info.year = header.year;
    info.packedTime = header.packedTime;
    strcpy(info.storedName, header.name);
    info.hasDataCheck = header.hasDataCheck;
    info.dataCheck = header.dataCheck;
    info.firstPieceMissing = FALSE;
}

int LoadFromExecutable(void)
{
    RestoreInfo &info = g_restoreInfo;
    HANDLE file = CreateFileA(info.ownPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return kMsgOwnUnopenable;

    // The stored name becomes a path beside the executable: anything but a plain file
    // name (a folder, a drive, a stream, a device) could lead the restore elsewhere, so
    // such a header counts as damaged, as does a size that no writer stores.
    FirstPieceHeader header;
    if (!ReadFirstPieceHeader(file, &header) || !IsPlainFileName(header.name) || header.totalSize < 0) {
        CloseHandle(file);
        return kMsgDamaged;
    }
    KeepHeader(header);

    DWORD position = SetFilePointer(file, 0, NULL, FILE_CURRENT);
    CloseHandle(file);
    if (position == INVALID_SET_FILE_POINTER)
        return kMsgInfoFailed;
    // A header that ends past 2 GiB cannot be a sound one: its length would not fit.
    if (position < (DWORD)kFirstPieceOffset || position - (DWORD)kFirstPieceOffset > 0x7FFFFFFFu)
        return kMsgDamaged;
    info.headerLength = (LONG)(position - (DWORD)kFirstPieceOffset);
    TakeExtension();
    return kLoaded;
}
