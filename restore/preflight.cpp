// restore/preflight.cpp: what the worker can know for sure before it creates the
// destination: a drive that cannot hold a file of the total size, and a drive without room
// for it. A restore bound to fail would otherwise copy for minutes first.
#include "restore/preflight.h"

#include <string.h>

#include "format/text.h"

// FAT and FAT32 hold no file of this size or more.
const long long kFatFileLimit = 4294967296LL;

// Writes into folder the part of path up to and including its last folder separator
// ("C:\Work\" of "C:\Work\Data.txt"), "X:" for a drive-relative "X:name", or "" when the
// path names a file in the current folder. A 0x5C trail byte of a double-byte character is
// no separator.
static void FolderOf(const char *path, char *folder)
{
    size_t cut = 0;
    for (size_t i = 0; path[i] != 0; i++) {
        if (IsLeadByte((unsigned char)path[i])) {
            if (path[i + 1] == 0)
                break;
            i++;
        } else if (path[i] == '\\' || path[i] == '/') {
            cut = i + 1;
        }
    }
    if (cut == 0 && path[0] != 0 && path[1] == ':')
        cut = 2;
    memcpy(folder, path, cut);
    folder[cut] = 0;
}

// Whether the destination's volume has a FAT file system, which the system reports as
// "FAT" or "FAT32" (exFAT holds large files). Any failure of the calls counts as no.
static BOOL IsOnFatVolume(RestoreRun *run)
{
    char *root = (char *)run->block;
    char fileSystem[16];
    if (!GetVolumePathNameA(run->destinationPath, root, kBlockSize))
        return FALSE;
    if (!GetVolumeInformationA(root, NULL, 0, NULL, NULL, NULL, fileSystem, sizeof fileSystem))
        return FALSE;
    return strcmp(fileSystem, "FAT") == 0 || strcmp(fileSystem, "FAT32") == 0;
}

// The bytes the restore still needs on the destination's volume: the total size, less what
// the file it overwrites holds now (that file is cut to nothing when it is created).
static long long BytesNeeded(RestoreRun *run)
{
    long long needed = g_restoreInfo.totalSize;
    WIN32_FILE_ATTRIBUTE_DATA existing;
    if (GetFileAttributesExA(run->destinationPath, GetFileExInfoStandard, &existing) &&
        (existing.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        needed -= (long long)existing.nFileSizeHigh << 32 | existing.nFileSizeLow;
    return needed;
}

BOOL CheckDestinationVolume(RestoreRun *run)
{
    if (g_restoreInfo.totalSize >= kFatFileLimit && IsOnFatVolume(run)) {
        AskUser(kMsgFatLimit, run->destinationPath);
        CloseRunFiles(run);
        return FALSE;
    }

    char *folder = run->pieceName;
    FolderOf(run->destinationPath, folder);
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(folder[0] != 0 ? folder : NULL, &available, NULL, NULL))
        return TRUE;
    long long needed = BytesNeeded(run);
    if (needed <= 0 || available.QuadPart >= (unsigned long long)needed)
        return TRUE;
    // The grouped texts share one buffer: the first is kept in the block buffer.
    char *neededText = (char *)run->block;
    strcpy(neededText, GroupedDecimal(needed));
    if (AskUser(kMsgNoRoom, neededText, GroupedDecimal((long long)available.QuadPart), run->destinationPath) == IDNO) {
        CloseRunFiles(run);
        return FALSE;
    }
    return TRUE;
}
