// native/volumes.cpp: the stand-in's volume calls (free space, the volume under a path and
// its file system) over statvfs and statfs, with volumes a test scripts.
#include <windows.h>

#include "shim.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <mutex>

namespace {

// What statfs reports for the file systems that have a Windows name of their own.
const unsigned long kMsdosMagic = 0x4d44;     // vfat and msdos: FAT12, FAT16 and FAT32
const unsigned long kExfatMagic = 0x2011BAB0; // exfat

// Scripted volumes live in fixed storage, so that the calls allocate nothing during a run.
const int kMaxScriptedVolumes = 8;
const size_t kVolumePathSize = 1024;
const size_t kFileSystemNameSize = 32;

struct ScriptedVolume {
    char prefix[kVolumePathSize];
    long long availableBytes;
    bool hasFileSystem;
    char fileSystem[kFileSystemNameSize];
};

std::mutex g_volumesLock;                         // guards the two below; any thread
ScriptedVolume g_volumes[kMaxScriptedVolumes];    // set by ShimSetVolume
int g_volumeCount;

// The scripted volume with the longest prefix of path; false when none holds it.
bool FindScripted(const char *path, ScriptedVolume *found)
{
    std::lock_guard<std::mutex> lock(g_volumesLock);
    size_t best = 0;
    bool any = false;
    for (int i = 0; i < g_volumeCount; i++) {
        size_t length = strlen(g_volumes[i].prefix);
        if (length >= best && strncmp(path, g_volumes[i].prefix, length) == 0) {
            *found = g_volumes[i];
            best = length;
            any = true;
        }
    }
    return any;
}

// The nearest folder at or above path that exists, in folder (kVolumePathSize bytes): on a
// real disk it lies on the same volume as the path, which may not exist yet.
bool ExistingFolderOf(const char *path, char *folder)
{
    size_t length = strlen(path);
    if (length >= kVolumePathSize)
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
    ScriptedVolume scripted;
    if (FindScripted(path, &scripted)) {
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
    ScriptedVolume scripted;
    char folder[kVolumePathSize];
    const char *root = folder;
    if (FindScripted(name, &scripted))
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
    ScriptedVolume scripted;
    if (FindScripted(root, &scripted)) {
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

void ShimSetVolume(const char *prefix, long long availableBytes, const char *fileSystem)
{
    std::lock_guard<std::mutex> lock(g_volumesLock);
    if (prefix == NULL || prefix[0] == 0) {
        g_volumeCount = 0;
        return;
    }
    if (strlen(prefix) >= kVolumePathSize || (fileSystem != NULL && strlen(fileSystem) >= kFileSystemNameSize))
        ShimRefuse("ShimSetVolume", "a prefix or file-system name this long");
    int slot = 0;
    while (slot < g_volumeCount && strcmp(g_volumes[slot].prefix, prefix) != 0)
        slot++;
    if (slot == kMaxScriptedVolumes)
        ShimRefuse("ShimSetVolume", "more scripted volumes");
    ScriptedVolume &volume = g_volumes[slot];
    strcpy(volume.prefix, prefix);
    volume.availableBytes = availableBytes;
    volume.hasFileSystem = fileSystem != NULL;
    strcpy(volume.fileSystem, fileSystem != NULL ? fileSystem : "");
    if (slot == g_volumeCount)
        g_volumeCount++;
}
