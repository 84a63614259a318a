// native/files.cpp: the stand-in's file calls over POSIX, with the share modes modelled
// within the process, the file-time conversion, the module path and the I/O fault switches.
#include <windows.h>
#include <direct.h>

#include "shim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One handle CreateFileA returned.
struct OpenFile {
    uintptr_t handle;
    int fd;
    dev_t device;
    ino_t inode;
    DWORD access; // GENERIC_READ or GENERIC_WRITE
    DWORD share;
};

// A switch that fires on one call number of its counter.
struct Fault {
    DWORD atCall; // 0 when disarmed
    DWORD bytes;
};

// File handles are small multiples of 4 from here; thread handles use another range.
const uintptr_t kFirstFileHandle = 0x1000;
const long long kNoDiskLimit = -1;
// Room kept for this many open handles, so that opening files during a run does not
// allocate; more still work (the table then grows).
const size_t kReservedFiles = 64;
// 1601-01-01 to 1970-01-01 in days, and FILETIME's units.
const long long kDaysFrom1601To1970 = 134774;
const long long kTicksPerSecond = 10000000;

std::mutex g_filesLock;                   // guards everything below; any thread
std::vector<OpenFile> g_files;            // open handles, few; CreateFileA and CloseHandle
uintptr_t g_nextFileHandle = kFirstFileHandle;
std::string g_modulePath;                 // set by ShimSetModulePath
bool g_hasModulePath;
DWORD g_readCalls, g_writeCalls;          // since the last ShimResetFaults
Fault g_failRead, g_shortRead, g_failWrite, g_shortWrite;
long long g_diskBytes = kNoDiskLimit;
// Whether any read or write switch is armed or the disk limited: when not, ReadFile and
// WriteFile skip the switches. Written under g_filesLock.
std::atomic<bool> g_ioFaultsArmed{false};

thread_local DWORD t_lastError; // each thread's GetLastError

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return ERROR_DISK_FULL;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

// Counts one call and answers whether `fault` fires on it (disarming it).
bool Fires(Fault &fault, DWORD call)
{
    if (fault.atCall == 0 || fault.atCall != call)
        return false;
    fault.atCall = 0;
    return true;
}

// Called under g_filesLock after a switch or the disk limit changed.
void UpdateArmed()
{
    const bool armed = g_failRead.atCall || g_shortRead.atCall || g_failWrite.atCall || g_shortWrite.atCall ||
                       g_diskBytes != kNoDiskLimit;
    g_ioFaultsArmed.store(armed, std::memory_order_relaxed);
}

void Arm(Fault &fault, const DWORD &calls, int nth, DWORD bytes)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    fault.atCall = nth > 0 ? calls + (DWORD)nth : 0;
    fault.bytes = bytes;
    UpdateArmed();
}

// Whether an open with `access` and `share` may join the handles already open on the file.
bool SharesWith(DWORD access, DWORD share, const OpenFile &other)
{
    if ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) return false;
    if ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    return true;
}

// The open file behind a handle, or NULL. Called under g_filesLock.
OpenFile *Lookup(HANDLE handle)
{
    for (OpenFile &open : g_files)
        if (open.handle == (uintptr_t)handle)
            return &open;
    return nullptr;
}

// Lookup for a call the program made: a missing handle sets the last error.
OpenFile *Find(HANDLE handle)
{
    OpenFile *open = Lookup(handle);
    if (!open)
        t_lastError = ERROR_INVALID_HANDLE;
    return open;
}

// Lookup for a read or write: the handle must be open with that access.
OpenFile *FindFor(HANDLE handle, DWORD access)
{
    OpenFile *open = Find(handle);
    if (open && !(open->access & access)) {
        t_lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return open;
}

// Reads up to `count` bytes, stopping only at the end of the file; -1 on an error.
ssize_t ReadAll(int fd, BYTE *to, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, to + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

// Writes `count` bytes; false on an error, with *done the bytes that did reach the file.
bool WriteAll(int fd, const BYTE *from, size_t count, size_t *done)
{
    *done = 0;
    while (*done < count) {
        ssize_t n = write(fd, from + *done, count - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        *done += (size_t)n;
    }
    return true;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(int year, int month, int day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// A FILETIME as the POSIX time of the same instant.
timespec ToUnixTime(const FILETIME *time)
{
    const long long ticks = (long long)(((uint64_t)time->dwHighDateTime << 32) | time->dwLowDateTime);
    const long long sinceEpoch = ticks - kDaysFrom1601To1970 * 86400 * kTicksPerSecond;
    long long seconds = sinceEpoch / kTicksPerSecond;
    long long rest = sinceEpoch % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        seconds -= 1;
    }
    timespec unixTime;
    unixTime.tv_sec = (time_t)seconds;
    unixTime.tv_nsec = (long)(rest * 100);
    return unixTime;
}

} // namespace

// Models a file open: read-only OPEN_EXISTING or write-only CREATE_ALWAYS, with share modes.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD, HANDLE templateFile)
{
    const bool reading = access == GENERIC_READ && disposition == OPEN_EXISTING;
    const bool writing = access == GENERIC_WRITE && disposition == CREATE_ALWAYS;
    if (!reading && !writing)
        ShimRefuse("CreateFileA", "only GENERIC_READ with OPEN_EXISTING or GENERIC_WRITE with CREATE_ALWAYS");
    if (templateFile)
        ShimRefuse("CreateFileA", "a template file");
    if (!name) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> lock(g_filesLock);
    // No O_TRUNC yet: a refused open must leave the file as it was.
    // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for regular files.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (reading ? O_RDONLY : O_WRONLY);
    int fd = open(name, flags);
    const bool existed = fd >= 0 || errno != ENOENT;
    if (fd < 0 && writing && !existed)
        fd = open(name, flags | O_CREAT, 0666);
    if (fd < 0) {
        t_lastError = ErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        // A directory needs backup semantics on Windows; other kinds do not occur there.
        close(fd);
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    for (const OpenFile &other : g_files) {
        if (other.device == info.st_dev && other.inode == info.st_ino && !SharesWith(access, share, other)) {
            close(fd);
            t_lastError = ERROR_SHARING_VIOLATION;
            return INVALID_HANDLE_VALUE;
        }
    }
    // Only a file that holds data is truncated: truncating an empty one changes nothing,
    // yet on ext4 it would make the close flush the whole new file to disk, synchronously
    // (the replace-by-truncate safeguard), which a new file does not need.
    if (writing && info.st_size != 0 && ftruncate(fd, 0) != 0) {
        t_lastError = ErrorFromErrno(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    const uintptr_t handle = g_nextFileHandle;
    g_nextFileHandle += 4;
    g_files.push_back(OpenFile{handle, fd, info.st_dev, info.st_ino, access, share});
    // CREATE_ALWAYS over an existing file succeeds with ERROR_ALREADY_EXISTS.
    t_lastError = writing && existed ? ERROR_ALREADY_EXISTS : NO_ERROR;
    return (HANDLE)handle;
}

// Models a synchronous read: up to the count or the end of the file, TRUE with 0 at the end.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (!read || overlapped)
        ShimRefuse("ReadFile", "overlapped reads or a NULL byte count");
    *read = 0;
    std::lock_guard<std::mutex> lock(g_filesLock);
    const DWORD call = ++g_readCalls;
    OpenFile *open = FindFor(file, GENERIC_READ);
    if (!open)
        return FALSE;
    DWORD count = toRead;
    if (g_ioFaultsArmed.load(std::memory_order_relaxed)) {
        if (Fires(g_failRead, call)) {
            UpdateArmed();
            t_lastError = ERROR_READ_FAULT;
            return FALSE;
        }
        if (Fires(g_shortRead, call) && g_shortRead.bytes < count)
            count = g_shortRead.bytes;
        UpdateArmed();
    }
    const ssize_t got = ReadAll(open->fd, (BYTE *)buffer, count);
    if (got < 0) {
        t_lastError = errno == EIO ? ERROR_READ_FAULT : ErrorFromErrno(errno);
        return FALSE;
    }
    *read = (DWORD)got;
    return TRUE;
}

// Models a synchronous write of the whole count at the file position.
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (!written || overlapped)
        ShimRefuse("WriteFile", "overlapped writes or a NULL byte count");
    *written = 0;
    std::lock_guard<std::mutex> lock(g_filesLock);
    const DWORD call = ++g_writeCalls;
    OpenFile *open = FindFor(file, GENERIC_WRITE);
    if (!open)
        return FALSE;
    const BYTE *from = (const BYTE *)buffer;
    size_t done = 0;
    DWORD count = toWrite;
    const bool armed = g_ioFaultsArmed.load(std::memory_order_relaxed);
    if (armed && Fires(g_failWrite, call)) {
        UpdateArmed();
        const DWORD first = g_failWrite.bytes < toWrite ? g_failWrite.bytes : toWrite;
        WriteAll(open->fd, from, first, &done);
        t_lastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    if (armed) {
        if (Fires(g_shortWrite, call) && g_shortWrite.bytes < count)
            count = g_shortWrite.bytes;
        UpdateArmed();
    }
    if (armed && g_diskBytes != kNoDiskLimit && count > 0) {
        const off_t position = lseek(open->fd, 0, SEEK_CUR);
        if (position < 0 || (long long)position + count > g_diskBytes) {
            t_lastError = ERROR_DISK_FULL;
            return FALSE;
        }
    }
    const bool ok = WriteAll(open->fd, from, count, &done);
    *written = (DWORD)done;
    if (!ok) {
        t_lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// Models moving the file position; a negative result fails with ERROR_NEGATIVE_SEEK.
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    OpenFile *open = Find(file);
    if (!open)
        return INVALID_SET_FILE_POINTER;
    const long long move = distanceHigh ? (long long)(((uint64_t)(DWORD)*distanceHigh << 32) | (DWORD)distance)
                                        : (long long)distance;
    long long base = 0;
    struct stat info;
    if (method == FILE_CURRENT)
        base = lseek(open->fd, 0, SEEK_CUR);
    else if (method == FILE_END)
        base = fstat(open->fd, &info) == 0 ? (long long)info.st_size : -1;
    else if (method != FILE_BEGIN)
        base = -1;
    long long target;
    if (base < 0 || __builtin_add_overflow(base, move, &target)) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    if (target < 0) {
        t_lastError = ERROR_NEGATIVE_SEEK;
        return INVALID_SET_FILE_POINTER;
    }
    if (!distanceHigh && target > 0xFFFFFFFFLL) {
        // Without a high part the new position has to fit in the 32-bit answer.
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(open->fd, (off_t)target, SEEK_SET) < 0) {
        t_lastError = ErrorFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh)
        *distanceHigh = (LONG)(DWORD)((uint64_t)target >> 32);
    // Callers tell a position whose low part is 0xFFFFFFFF from a failure by the last error.
    t_lastError = NO_ERROR;
    return (DWORD)target;
}

// Models the size query: the low part returned, the high part stored when asked for.
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    OpenFile *open = Find(file);
    struct stat info;
    if (!open || fstat(open->fd, &info) != 0) {
        if (open) t_lastError = ErrorFromErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const uint64_t size = (uint64_t)info.st_size;
    if (sizeHigh)
        *sizeHigh = (DWORD)(size >> 32);
    t_lastError = NO_ERROR;
    return (DWORD)size;
}

// Models the attribute query: directory, normal file, or INVALID_FILE_ATTRIBUTES.
DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    struct stat info;
    if (!name || stat(name, &info) != 0) {
        t_lastError = name ? ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER;
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

// Models closing a file or thread handle; FALSE with ERROR_INVALID_HANDLE for others.
BOOL WINAPI CloseHandle(HANDLE object)
{
    if (object == INVALID_HANDLE_VALUE)
        ShimRefuse("CloseHandle", "the current-process pseudo handle (INVALID_HANDLE_VALUE)");
    {
        std::lock_guard<std::mutex> lock(g_filesLock);
        OpenFile *open = Lookup(object);
        if (open) {
            close(open->fd);
            *open = g_files.back();
            g_files.pop_back();
            return TRUE;
        }
    }
    if (ShimCloseThreadHandle(object))
        return TRUE;
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
}

// Models the per-thread last error.
DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

// Models setting the per-thread last error.
void WINAPI SetLastError(DWORD error)
{
    t_lastError = error;
}

// Models the UTC date conversion, with Windows' validation (the day of the week is ignored).
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *time, LPFILETIME fileTime)
{
    static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool fieldsValid = time->wYear >= 1601 && time->wYear <= 30827 && time->wMonth >= 1 &&
                             time->wMonth <= 12 && time->wHour < 24 && time->wMinute < 60 &&
                             time->wSecond < 60 && time->wMilliseconds < 1000 && time->wDay >= 1;
    const int monthDays = fieldsValid ? kDaysInMonth[time->wMonth - 1] +
                                            (time->wMonth == 2 && IsLeapYear(time->wYear) ? 1 : 0)
                                      : 0;
    if (!fieldsValid || time->wDay > monthDays) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const long long days = DaysFromCivil(time->wYear, time->wMonth, time->wDay) + kDaysFrom1601To1970;
    const long long seconds = days * 86400 + time->wHour * 3600 + time->wMinute * 60 + time->wSecond;
    const uint64_t ticks = (uint64_t)(seconds * 1000 + time->wMilliseconds) * 10000;
    fileTime->dwLowDateTime = (DWORD)ticks;
    fileTime->dwHighDateTime = (DWORD)(ticks >> 32);
    return TRUE;
}

// Models setting a file's times: the write time (and an access time if given) with
// nanoseconds; Linux keeps no creation time, so that one is ignored.
BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *, const FILETIME *access, const FILETIME *write)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    OpenFile *open = FindFor(file, GENERIC_WRITE);
    if (!open)
        return FALSE;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = times[0];
    if (access) times[0] = ToUnixTime(access);
    if (write) times[1] = ToUnixTime(write);
    if (futimens(open->fd, times) != 0) {
        t_lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// Models the own-path query with the path the test or front end set; truncation as Vista on.
DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR name, DWORD size)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    if (!g_hasModulePath)
        ShimRefuse("GetModuleFileNameA", "a module path before ShimSetModulePath");
    if (size == 0) {
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    const size_t length = g_modulePath.size();
    if (length < size) {
        memcpy(name, g_modulePath.c_str(), length + 1);
        t_lastError = NO_ERROR;
        return (DWORD)length;
    }
    memcpy(name, g_modulePath.data(), size - 1);
    name[size - 1] = '\0';
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
}

// Models the string length; NULL counts as empty.
int WINAPI lstrlenA(LPCSTR text)
{
    return text ? (int)strlen(text) : 0;
}

// Models the C library's change of the current directory.
int _chdir(const char *path)
{
    return chdir(path);
}

void ShimSetModulePath(const char *path)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    g_hasModulePath = path != nullptr;
    g_modulePath = path ? path : "";
}

int ShimOpenFileCount(void)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    return (int)g_files.size();
}

void ShimFailReadFile(int nth) { Arm(g_failRead, g_readCalls, nth, 0); }
void ShimShortReadFile(int nth, DWORD bytes) { Arm(g_shortRead, g_readCalls, nth, bytes); }
void ShimFailWriteFile(int nth, DWORD bytesFirst) { Arm(g_failWrite, g_writeCalls, nth, bytesFirst); }
void ShimShortWriteFile(int nth, DWORD bytes) { Arm(g_shortWrite, g_writeCalls, nth, bytes); }

void ShimSetFullDisk(long long bytes)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    g_diskBytes = bytes < 0 ? kNoDiskLimit : bytes;
    UpdateArmed();
}

DWORD ShimReadFileCalls(void)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    return g_readCalls;
}

DWORD ShimWriteFileCalls(void)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    return g_writeCalls;
}

void ShimResetFaults(void)
{
    {
        std::lock_guard<std::mutex> lock(g_filesLock);
        g_readCalls = g_writeCalls = 0;
        g_failRead = g_shortRead = g_failWrite = g_shortWrite = Fault{0, 0};
        g_diskBytes = kNoDiskLimit;
        UpdateArmed();
        if (g_files.capacity() < kReservedFiles)
            g_files.reserve(kReservedFiles);
    }
    ShimFailNextCreateThread(FALSE);
}

void ShimRefuse(const char *call, const char *what)
{
    fprintf(stderr, "native stand-in: %s: not modelled: %s\n", call, what);
    abort();
}
