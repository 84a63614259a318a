// native/faults.cpp: the stand-in's fault switches and call counters, and the scripted
// machine (volumes, streams, file titles), which the platform files consult call by call.
#include <windows.h>

#include "shim_internal.h"
#include "shim_testing.h"

#include <string.h>

#include <atomic>
#include <mutex>

namespace {

// A switch that fires on one call number of its counter.
struct Fault {
    DWORD atCall; // 0 when disarmed
    DWORD bytes;
};

const long long kNoDiskLimit = -1;

std::mutex g_faultsLock;                 // guards everything below but the atomics; any thread
Fault g_failRead, g_shortRead, g_failWrite, g_shortWrite, g_failSync;
long long g_diskBytes = kNoDiskLimit;
bool g_failNextCreate;                   // ShimFailNextCreateThread
bool g_failNextDialog;                   // ShimFailNextCreateDialog
int g_omitControl;                       // ShimOmitNextDialogControl
bool g_hideExtension;                    // ShimSetFileTitleHidesExtension
// ReadFile and WriteFile calls since the last ShimResetFaults; counted by any thread.
std::atomic<DWORD> g_readCalls{0}, g_writeCalls{0};
// FlushFileBuffers calls since the last ShimResetFaults; counted by any thread.
std::atomic<DWORD> g_syncCalls{0};
// Folders FlushFileBuffers made durable since the last ShimResetFaults; any thread.
std::atomic<DWORD> g_folderSyncs{0};
// Whether any read or write switch is armed or the disk limited: when not, ReadFile and
// WriteFile skip the switches and take no lock. Written under g_faultsLock.
std::atomic<bool> g_ioFaultsArmed{false};
// Whether a name that names a stream (name:stream) is a plain file of that name, as Wine
// stores streams, rather than refused; set by ShimSetStreamsAsFiles.
std::atomic<bool> g_streamsAsFiles{false};
// The flush fault: which buffer flush fails (0: none), counted by g_flushes. Flushes happen
// inside CloseHandle's lock, so these are atomics rather than a Fault under a lock.
std::atomic<DWORD> g_failFlushAt{0}, g_flushes{0};

// Scripted volumes.
const int kMaxScriptedVolumes = 8;
std::mutex g_volumesLock;                             // guards the two below; any thread
ShimScriptedVolume g_volumes[kMaxScriptedVolumes];    // set by ShimSetVolume
int g_volumeCount;

// Counts one call and answers whether `fault` fires on it (disarming it).
bool Fires(Fault &fault, DWORD call)
{
    if (fault.atCall == 0 || fault.atCall != call)
        return false;
    fault.atCall = 0;
    return true;
}

// Called under g_faultsLock after a switch or the disk limit changed.
void UpdateArmed()
{
    const bool armed = g_failRead.atCall || g_shortRead.atCall || g_failWrite.atCall || g_shortWrite.atCall ||
                       g_diskBytes != kNoDiskLimit;
    g_ioFaultsArmed.store(armed, std::memory_order_relaxed);
}

void Arm(Fault &fault, const std::atomic<DWORD> &calls, int nth, DWORD bytes)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    fault.atCall = nth > 0 ? calls.load(std::memory_order_relaxed) + (DWORD)nth : 0;
    fault.bytes = bytes;
    UpdateArmed();
}

} // namespace

DWORD ShimNumberReadCall(void)
{
    return g_readCalls.fetch_add(1, std::memory_order_relaxed) + 1;
}

DWORD ShimFaultOnRead(DWORD call, DWORD *count)
{
    if (!g_ioFaultsArmed.load(std::memory_order_relaxed))
        return NO_ERROR;
    std::lock_guard<std::mutex> lock(g_faultsLock);
    if (Fires(g_failRead, call)) {
        UpdateArmed();
        return ERROR_READ_FAULT;
    }
    if (Fires(g_shortRead, call) && g_shortRead.bytes < *count)
        *count = g_shortRead.bytes;
    UpdateArmed();
    return NO_ERROR;
}

DWORD ShimNumberWriteCall(void)
{
    return g_writeCalls.fetch_add(1, std::memory_order_relaxed) + 1;
}

DWORD ShimFaultOnWrite(DWORD call, long long position, DWORD *count)
{
    if (!g_ioFaultsArmed.load(std::memory_order_relaxed))
        return NO_ERROR;
    std::unique_lock<std::mutex> lock(g_faultsLock);
    if (Fires(g_failWrite, call)) {
        UpdateArmed();
        if (g_failWrite.bytes < *count)
            *count = g_failWrite.bytes;
        return ERROR_WRITE_FAULT;
    }
    if (Fires(g_shortWrite, call) && g_shortWrite.bytes < *count)
        *count = g_shortWrite.bytes;
    UpdateArmed();
    const long long diskBytes = g_diskBytes;
    lock.unlock();
    if (diskBytes != kNoDiskLimit && *count > 0 && position + *count > diskBytes)
        return ERROR_DISK_FULL;
    return NO_ERROR;
}

bool ShimFaultOnFlush(void)
{
    const DWORD flush = g_flushes.fetch_add(1, std::memory_order_relaxed) + 1;
    DWORD failAt = flush;
    return g_failFlushAt.compare_exchange_strong(failAt, 0, std::memory_order_relaxed);
}

DWORD ShimNumberSyncCall(void)
{
    return g_syncCalls.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool ShimFaultOnSync(DWORD call)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    return Fires(g_failSync, call);
}

void ShimCountFolderSync(void)
{
    g_folderSyncs.fetch_add(1, std::memory_order_relaxed);
}

bool ShimFaultOnCreateThread(void)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    const bool fail = g_failNextCreate;
    g_failNextCreate = false;
    return fail;
}

bool ShimFaultOnCreateDialog(int *omittedControl)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    if (g_failNextDialog) {
        g_failNextDialog = false;
        return true;
    }
    *omittedControl = g_omitControl;
    g_omitControl = 0;
    return false;
}

bool ShimStreamsAsFiles(void)
{
    return g_streamsAsFiles.load(std::memory_order_relaxed);
}

bool ShimFileTitleHidesExtension(void)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    return g_hideExtension;
}

bool ShimFindScriptedVolume(const char *path, ShimScriptedVolume *found)
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

void ShimFailReadFile(int nth) { Arm(g_failRead, g_readCalls, nth, 0); }
void ShimShortReadFile(int nth, DWORD bytes) { Arm(g_shortRead, g_readCalls, nth, bytes); }
void ShimFailWriteFile(int nth, DWORD bytesFirst) { Arm(g_failWrite, g_writeCalls, nth, bytesFirst); }
void ShimShortWriteFile(int nth, DWORD bytes) { Arm(g_shortWrite, g_writeCalls, nth, bytes); }

void ShimFailFlushFileBuffers(int nth) { Arm(g_failSync, g_syncCalls, nth, 0); }

void ShimFailFlush(int nth)
{
    g_failFlushAt.store(nth > 0 ? g_flushes.load(std::memory_order_relaxed) + (DWORD)nth : 0,
                        std::memory_order_relaxed);
}

void ShimSetFullDisk(long long bytes)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    g_diskBytes = bytes < 0 ? kNoDiskLimit : bytes;
    UpdateArmed();
}

void ShimFailNextCreateThread(BOOL fail)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    g_failNextCreate = fail != FALSE;
}

void ShimFailNextCreateDialog(void)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    g_failNextDialog = true;
}

void ShimOmitNextDialogControl(int id)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    g_omitControl = id;
}

DWORD ShimReadFileCalls(void)
{
    return g_readCalls.load(std::memory_order_relaxed);
}

DWORD ShimWriteFileCalls(void)
{
    return g_writeCalls.load(std::memory_order_relaxed);
}

DWORD ShimFolderSyncs(void)
{
    return g_folderSyncs.load(std::memory_order_relaxed);
}

void ShimResetFaults(void)
{
    {
        std::lock_guard<std::mutex> lock(g_faultsLock);
        g_readCalls = 0;
        g_writeCalls = 0;
        g_syncCalls = 0;
        g_folderSyncs = 0;
        g_failRead = g_shortRead = g_failWrite = g_shortWrite = g_failSync = Fault{0, 0};
        g_diskBytes = kNoDiskLimit;
        UpdateArmed();
    }
    g_failFlushAt.store(0, std::memory_order_relaxed);
    ShimFailNextCreateThread(FALSE);
}

void ShimSetStreamsAsFiles(BOOL asFiles)
{
    g_streamsAsFiles.store(asFiles != FALSE, std::memory_order_relaxed);
}

void ShimSetFileTitleHidesExtension(BOOL hide)
{
    std::lock_guard<std::mutex> lock(g_faultsLock);
    g_hideExtension = hide != FALSE;
}

void ShimSetVolume(const char *prefix, long long availableBytes, const char *fileSystem)
{
    std::lock_guard<std::mutex> lock(g_volumesLock);
    if (prefix == NULL || prefix[0] == 0) {
        g_volumeCount = 0;
        return;
    }
    if (strlen(prefix) >= kShimVolumePathSize || (fileSystem != NULL && strlen(fileSystem) >= kShimFileSystemNameSize))
        ShimRefuse("ShimSetVolume", "a prefix or file-system name this long");
    int slot = 0;
    while (slot < g_volumeCount && strcmp(g_volumes[slot].prefix, prefix) != 0)
        slot++;
    if (slot == kMaxScriptedVolumes)
        ShimRefuse("ShimSetVolume", "more scripted volumes");
    ShimScriptedVolume &volume = g_volumes[slot];
    strcpy(volume.prefix, prefix);
    volume.availableBytes = availableBytes;
    volume.hasFileSystem = fileSystem != NULL;
    strcpy(volume.fileSystem, fileSystem != NULL ? fileSystem : "");
    if (slot == g_volumeCount)
        g_volumeCount++;
}

int ShimOpenFileCount(void)
{
    return ShimCountOpenFiles();
}

void ShimResetTesting(void)
{
    ShimResetFaults();
    {
        std::lock_guard<std::mutex> lock(g_faultsLock);
        g_failNextDialog = false;
        g_omitControl = 0;
    }
    ShimSetVolume(NULL, 0, NULL);
    ShimSetStreamsAsFiles(FALSE);
    ShimSetFileTitleHidesExtension(FALSE);
    ShimClearProgressHistory();
    ShimClearPostedMessages();
    ShimClearMessageBoxes();
    ShimClearSaveDialogCalls();
}
