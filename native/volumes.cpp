// native/volumes.cpp: the stand-in's volume calls (free space, the volume under a path and
// its file system) over statvfs and statfs, or as a test scripted them.
#include <windows.h>

#include "shim_internal.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

namespace {

// What statfs reports for the file systems that have a Windows name of their own.
const unsigned long kMsdosMagic = 0x4d44;     // vfat and msdos: FAT12, FAT16 and FAT32
const unsigned long kExfatMagic = 0x2011BAB0; // exfat

// The nearest folder at or above path that exists, in folder (kShimVolumePathSize bytes): on a
// real disk it lies on the same volume as the path, which may not exist yet.
bool ExistingFolderOf(const char *path, char *folder)
{
    size_t length = strlen(path);
    if (length >= kShimVolumePathSize)
        return false;
    memcpy(folder, path, length + 1);
    for (;;) {
        struct stat info;
        if (folder[0] != 0 && stat(folder, &info) == 0 && S_ISDIR(info.st_mode))
            return true;
        char *slash = strrchr(folder, '/');
        if (slash == NULL) {
            strcpy(folder, ".");
            return true;
        }
        slash[slash == folder ? 1 : 0] = 0;
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

// Models the free space of a folder's volume: scripted, or the real file system's blocks
// available to an unprivileged user. NULL names the current folder.
BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR folder, PULARGE_INTEGER availableToCaller, PULARGE_INTEGER total,
                                PULARGE_INTEGER free)
{
    if (total != NULL || free != NULL)
        ShimRefuse("GetDiskFreeSpaceExA", "the total and free counts (only the caller's available bytes are modelled)");
    if (availableToCaller == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    const char *path = folder != NULL ? folder : ".";
    ShimScriptedVolume scripted;
    if (ShimFindScriptedVolume(path, &scripted)) {
        if (scripted.availableBytes < 0)
            return Fail(ERROR_GEN_FAILURE);
        availableToCaller->QuadPart = (unsigned long long)scripted.availableBytes;
        return TRUE;
    }
    struct statvfs info;
    if (statvfs(path, &info) != 0)
        return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_GEN_FAILURE);
    availableToCaller->QuadPart = (unsigned long long)info.f_bavail * info.f_frsize;
    return TRUE;
}

// Models the volume root of a path: a scripted volume's prefix, else the nearest existing
// folder, which stands for its volume's root (the file system under both is the same).
BOOL WINAPI GetVolumePathNameA(LPCSTR name, LPSTR volumePath, DWORD size)
{
    if (name == NULL || volumePath == NULL || size == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    ShimScriptedVolume scripted;
    char folder[kShimVolumePathSize];
    const char *root = folder;
    if (ShimFindScriptedVolume(name, &scripted))
        root = scripted.prefix;
    else if (!ExistingFolderOf(name, folder))
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (strlen(root) + 1 > size)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    memcpy(volumePath, root, strlen(root) + 1);
    return TRUE;
}

// Models the file-system name of a volume: scripted, or from statfs ("FAT32" for vfat,
// "exFAT", and "Unix" for every other). Volume name, serial, name length and flags are not
// modelled.
BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                  LPDWORD maximumComponentLength, LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                  DWORD fileSystemNameSize)
{
    if (volumeName != NULL || volumeNameSize != 0 || serialNumber != NULL || maximumComponentLength != NULL ||
        fileSystemFlags != NULL)
        ShimRefuse("GetVolumeInformationA", "anything but the file system's name");
    if (root == NULL || fileSystemName == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    const char *name;
    ShimScriptedVolume scripted;
    if (ShimFindScriptedVolume(root, &scripted)) {
        if (!scripted.hasFileSystem)
            return Fail(ERROR_GEN_FAILURE);
        name = scripted.fileSystem;
    } else {
        struct statfs info;
        if (statfs(root, &info) != 0)
            return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_GEN_FAILURE);
        unsigned long type = (unsigned long)info.f_type;
        name = type == kMsdosMagic ? "FAT32" : type == kExfatMagic ? "exFAT" : "Unix";
    }
    if (strlen(name) + 1 > fileSystemNameSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(fileSystemName, name, strlen(name) + 1);
    return TRUE;
}
