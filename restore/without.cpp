// restore/without.cpp: the start-up load from a set's recovery file, for a set whose
// executable is missing.
#include "restore/without.h"

#include <string.h>

#include "format/recovery.h"
#include "restore/load.h"
#include "restore/state.h"

int LoadFromRecovery(const char *recoveryPath, const char *executablePath)
{
    RestoreInfo &info = g_restoreInfo;
    if (strlen(executablePath) >= sizeof info.ownPath)
        return kMsgOwnUnopenable;
    HANDLE file = CreateFileA(recoveryPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return kMsgOwnUnopenable;
    RecoveryHeader header;
    RecoveryEntry first;
    // The stored name becomes a path beside the set, as an executable's would.
    const BOOL sound = ReadRecoveryHeader(file, &header) && ReadRecoveryEntry(file, &header, 1, &first) &&
                       IsPlainFileName(header.name);
    CloseHandle(file);
    if (!sound)
        return kMsgDamaged;
    memset(&info, 0, sizeof info);
    strcpy(info.ownPath, executablePath);
    info.totalSize = header.totalSize;
    info.firstPieceLength = first.dataCount;
    info.headerLength = 0;
    memcpy(info.setId, header.setId, sizeof info.setId);
    info.year = header.year;
    info.packedTime = header.packedTime;
    strcpy(info.storedName, header.name);
    // The table's CRC-64 of the first piece is what its header would state.
    info.hasDataCheck = TRUE;
    info.dataCheck = first.crc;
    info.firstPieceMissing = TRUE;
    TakeExtension();
    return kLoaded;
}
