// native/files.cpp: the stand-in's file calls over POSIX, with the share modes modelled
// within the process, read-ahead and write-behind, the write sink, the file-time
// conversion and the module path.
#include <windows.h>
#include <direct.h>

#include "shim.h"
#include "shim_internal.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
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

// Handles: a fixed table of slots, and a handle names a slot and the generation of the
// open that took it: handle = kFirstFileHandle + 4 * (generation * kFileSlots + slot). So
// ReadFile, WriteFile and the other calls on an open handle find its slot by arithmetic and
// check it with one atomic load, with no lock and no search; only CreateFileA and
// CloseHandle, which change the table, take g_filesLock. Every open takes the next free
// slot after the one taken last and gives it the slot's next generation, so a closed
// handle stays invalid (ERROR_INVALID_HANDLE) rather than naming a later open, until its
// slot has been opened again kGenerations - 1 times, that is after some 67 million opens.
const int kFileSlots = 256;
// File handles are small multiples of 4 from here up to the thread handles' range.
const uintptr_t kFirstFileHandle = 0x1000;
const uintptr_t kGenerations = (kShimFirstThreadHandle - kFirstFileHandle) / 4 / kFileSlots;

// A slot's state word, the only thing the calls on a handle read: the generation of the
// open holding the slot (kept when it is closed, so the next open counts on from it), the
// access it was opened with (none while the slot is free), whether it is the write sink,
// and the descriptor.
const uint64_t kStateRead = 1;       // opened with GENERIC_READ
const uint64_t kStateWrite = 2;      // opened with GENERIC_WRITE
const uint64_t kStateSink = 4;       // the write sink: no descriptor behind it
const int kStateGenerationShift = 3; // bits 3 to 31
const uint64_t kStateGenerationMask = 0x1FFFFFFF;
const int kStateFdShift = 32;        // bits 32 to 63

struct FileBuffer;

// One slot of the table.
struct FileSlot {
    std::atomic<uint64_t> state; // written under g_filesLock, read anywhere
    // The handle's file position, kept here rather than in the descriptor: reads and writes
    // at an explicit offset spare the kernel the position lock it takes on every read()
    // and write() of a process with more than one thread. Set by the open, then moved by
    // the thread that uses the handle.
    std::atomic<long long> position;
    // The open file's identity and share mode, for the share checks of later opens;
    // written and read under g_filesLock only.
    dev_t device;
    ino_t inode;
    DWORD share;
    // The read-ahead or write-behind buffer the open holds, or NULL when it reads and
    // writes straight through. Set by the open before its state word is stored, cleared
    // by the close.
    FileBuffer *buffer;
    // The folder of a file the open created, whose new name FlushFileBuffers makes durable
    // with the file; -1 for a file that was there before. Set by the open, closed by the
    // close.
    int folderFd;
};

// A read-ahead buffer holds the file's bytes from `start` on, `length` of them; a
// write-behind buffer holds `length` bytes that belong at `start` and have not gone to the
// disk yet. Only the thread using the handle touches them while it is open.
struct FileBuffer {
    BYTE *bytes;
    DWORD size;      // taken from g_bufferSize when the open took the buffer
    long long start;
    size_t length;
    // Write-behind: a failure of the disk while the buffer went out for a call that cannot
    // report it (SetFilePointer, GetFileSize, SetFileTime); the next WriteFile or the
    // CloseHandle does. NO_ERROR when none.
    DWORD pending;
    bool taken; // under g_filesLock
};

// An open handle as its state word tells it.
struct OpenFile {
    FileSlot *slot;
    uint64_t state;
    int fd; // -1 for the sink
};

// The furthest position SetFilePointer gives a handle: a read or write of up to 4 GiB
// from there still ends within off_t.
const long long kLargestPosition = 0x7FFFFFFFFFFFFFFFLL - 0xFFFFFFFFLL;
// 1601-01-01 to 1970-01-01 in days, and FILETIME's units.
const long long kDaysFrom1601To1970 = 134774;
const long long kTicksPerSecond = 10000000;

std::mutex g_filesLock;                  // guards the slots' changes and everything below; any thread
FileSlot g_slots[kFileSlots];            // the handle table; CreateFileA and CloseHandle change it
int g_nextSlot;                          // where CreateFileA looks for a free slot first
std::string g_modulePath;                // set by ShimSetModulePath
bool g_hasModulePath;
std::string g_sinkPath;                  // the write sink's path; set by ShimSetWriteSink
std::vector<ShimSourceOpen> g_sourceOpens; // opens for reading while the sink is set
std::atomic<bool> g_hasSink{false};      // whether g_sinkPath is set; written under g_filesLock
std::atomic<long long> g_sinkBytes{0};   // bytes the sink has taken; the writing thread adds

thread_local DWORD t_lastError; // each thread's GetLastError

// The one read-ahead and the one write-behind buffer; an open takes one while it is free.
alignas(4096) BYTE g_readAheadBytes[kShimMaxFileBuffer];
alignas(4096) BYTE g_writeBehindBytes[kShimMaxFileBuffer];
FileBuffer g_readAhead{g_readAheadBytes, 0, 0, 0, NO_ERROR, false};
FileBuffer g_writeBehind{g_writeBehindBytes, 0, 0, 0, NO_ERROR, false};
DWORD g_bufferSize = kShimDefaultFileBuffer; // for later opens; under g_filesLock

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

uint64_t StateGeneration(uint64_t state)
{
    return state >> kStateGenerationShift & kStateGenerationMask;
}

DWORD StateAccess(uint64_t state)
{
    return ((state & kStateRead) ? GENERIC_READ : 0) | ((state & kStateWrite) ? GENERIC_WRITE : 0);
}

// Whether an open with `access` and `share` may join a handle already open on the file.
bool SharesWith(DWORD access, DWORD share, DWORD otherAccess, DWORD otherShare)
{
    if ((access & GENERIC_READ) && !(otherShare & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(otherShare & FILE_SHARE_WRITE)) return false;
    if ((otherAccess & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((otherAccess & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    return true;
}

// The slot a handle names and its state, when the handle is open: no lock, no search.
// Anything else (never issued, closed, another kind of handle) gives NULL.
FileSlot *Lookup(HANDLE handle, OpenFile *open)
{
    const uintptr_t value = (uintptr_t)handle;
    if (value < kFirstFileHandle || value >= kShimFirstThreadHandle || (value - kFirstFileHandle) % 4 != 0)
        return nullptr;
    const uintptr_t index = (value - kFirstFileHandle) / 4;
    FileSlot *slot = &g_slots[index % kFileSlots];
    const uint64_t state = slot->state.load(std::memory_order_acquire);
    if (!(state & (kStateRead | kStateWrite)) || StateGeneration(state) != index / kFileSlots)
        return nullptr;
    open->slot = slot;
    open->state = state;
    open->fd = (state & kStateSink) ? -1 : (int)(uint32_t)(state >> kStateFdShift);
    return slot;
}

// Lookup for a call the program made: a handle that is not open sets the last error.
bool Find(HANDLE handle, OpenFile *open)
{
    if (Lookup(handle, open))
        return true;
    t_lastError = ERROR_INVALID_HANDLE;
    return false;
}

// Find for a read or write: the handle must be open with that access.
bool FindFor(HANDLE handle, DWORD access, OpenFile *open)
{
    if (!Find(handle, open))
        return false;
    if (!(StateAccess(open->state) & access)) {
        t_lastError = ERROR_ACCESS_DENIED;
        return false;
    }
    return true;
}

// A call the sink does not model (it has no position and no size).
void RefuseOnSink(const OpenFile &open, const char *call)
{
    if (open.state & kStateSink)
        ShimRefuse(call, "the write sink has no position or size");
}

// A free slot for a new open, or -1 when all are taken. Called under g_filesLock.
int FreeSlot()
{
    for (int tried = 0; tried < kFileSlots; tried++) {
        const int index = (g_nextSlot + tried) % kFileSlots;
        if (!(g_slots[index].state.load(std::memory_order_relaxed) & (kStateRead | kStateWrite)))
            return index;
    }
    return -1;
}

// Gives a free slot to a new open and answers its handle. Called under g_filesLock.
HANDLE FillSlot(int index, uint64_t access, int fd, const struct stat *info, DWORD share, FileBuffer *buffer)
{
    FileSlot &slot = g_slots[index];
    // Generation 0 is never issued, so a zero state word (a slot never used) and the
    // handle values below kFirstFileHandle + 4 * kFileSlots name no open.
    uint64_t generation = StateGeneration(slot.state.load(std::memory_order_relaxed)) + 1;
    if (generation >= kGenerations)
        generation = 1;
    slot.device = info ? info->st_dev : 0;
    slot.inode = info ? info->st_ino : 0;
    slot.share = share;
    slot.buffer = buffer;
    slot.folderFd = -1;
    slot.position.store(0, std::memory_order_relaxed);
    slot.state.store(access | generation << kStateGenerationShift | (uint64_t)(uint32_t)fd << kStateFdShift,
                     std::memory_order_release);
    g_nextSlot = (index + 1) % kFileSlots;
    return (HANDLE)(kFirstFileHandle + 4 * ((uintptr_t)generation * kFileSlots + (uintptr_t)index));
}

// The handle's position; only the thread using the handle moves it.
long long PositionOf(const OpenFile &open)
{
    return open.slot->position.load(std::memory_order_relaxed);
}

// Serves a read from the read-ahead buffer, filling it from the position whenever the
// position lies outside what it holds. The same bytes as ReadAll straight from the file.
ssize_t ReadAhead(const OpenFile &open, FileBuffer *buffer, BYTE *to, size_t count)
{
    long long position = PositionOf(open);
    size_t done = 0;
    while (done < count) {
        if (position >= buffer->start && position < buffer->start + (long long)buffer->length) {
            const size_t offset = (size_t)(position - buffer->start);
            size_t n = buffer->length - offset;
            if (n > count - done)
                n = count - done;
            memcpy(to + done, buffer->bytes + offset, n);
            done += n;
            position += (long long)n;
            continue;
        }
        ssize_t n;
        do
            n = pread(open.fd, buffer->bytes, buffer->size, (off_t)position);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            buffer->length = 0;
            return -1;
        }
        buffer->start = position;
        buffer->length = (size_t)n;
        if (n == 0)
            break;
    }
    open.slot->position.store(position, std::memory_order_relaxed);
    return (ssize_t)done;
}

void FlushBeforeLooking(const OpenFile &open);

// Reads up to `count` bytes at the handle's position, stopping only at the end of the
// file, and moves the position past them; -1 on an error. A handle that also writes reads
// straight through, once what it wrote has gone out.
ssize_t ReadAll(const OpenFile &open, BYTE *to, size_t count)
{
    if (open.slot->buffer && (open.state & kStateWrite))
        FlushBeforeLooking(open);
    else if (open.slot->buffer)
        return ReadAhead(open, open.slot->buffer, to, count);
    const long long position = PositionOf(open);
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(open.fd, to + done, count - done, (off_t)(position + (long long)done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    open.slot->position.store(position + (long long)done, std::memory_order_relaxed);
    return (ssize_t)done;
}

// Writes `count` bytes at `position` with as many calls as it takes: NO_ERROR, or the
// system's error with *done the bytes that did reach the file.
DWORD WriteAt(int fd, const BYTE *from, size_t count, long long position, size_t *done)
{
    *done = 0;
    while (*done < count) {
        ssize_t n = pwrite(fd, from + *done, count - *done, (off_t)(position + (long long)*done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return ErrorFromErrno(errno);
        *done += (size_t)n;
    }
    return NO_ERROR;
}

// Sends the write-behind buffer to the disk and empties it: NO_ERROR, or the disk's error
// (the bytes it did take stay written; the rest are lost, as a failed write loses them).
DWORD Flush(const OpenFile &open, FileBuffer *buffer)
{
    if (buffer->length == 0)
        return NO_ERROR;
    DWORD error;
    if (ShimFaultOnFlush()) {
        error = ERROR_WRITE_FAULT;
    } else {
        size_t done;
        error = WriteAt(open.fd, buffer->bytes, buffer->length, buffer->start, &done);
    }
    buffer->length = 0;
    return error;
}

// Flushes before a call that could observe the file; a failure waits for the next
// WriteFile or the CloseHandle to report it.
void FlushBeforeLooking(const OpenFile &open)
{
    FileBuffer *buffer = open.slot->buffer;
    if (!(open.state & kStateWrite) || !buffer)
        return;
    const DWORD error = Flush(open, buffer);
    if (error != NO_ERROR && buffer->pending == NO_ERROR)
        buffer->pending = error;
}

// Writes `count` bytes at the handle's position and moves it past the bytes taken: NO_ERROR,
// or the system's error with *done the bytes that did reach the file (none when a buffer
// that went out failed). The sink takes them all and keeps none.
DWORD WriteAll(const OpenFile &open, const BYTE *from, size_t count, size_t *done)
{
    *done = 0;
    if (open.state & kStateSink) {
        g_sinkBytes.fetch_add((long long)count, std::memory_order_relaxed);
        *done = count;
        return NO_ERROR;
    }
    const long long position = PositionOf(open);
    FileBuffer *buffer = open.slot->buffer;
    if (buffer) {
        if (buffer->pending != NO_ERROR) {
            const DWORD error = buffer->pending;
            buffer->pending = NO_ERROR;
            return error;
        }
        // The buffer goes out when these bytes do not fit behind what it holds.
        if (buffer->length > 0 && (position != buffer->start + (long long)buffer->length ||
                                   buffer->length + count > buffer->size)) {
            const DWORD error = Flush(open, buffer);
            if (error != NO_ERROR)
                return error;
        }
        if (count < buffer->size) {
            if (buffer->length == 0)
                buffer->start = position;
            memcpy(buffer->bytes + buffer->length, from, count);
            buffer->length += count;
            *done = count;
            open.slot->position.store(position + (long long)count, std::memory_order_relaxed);
            return NO_ERROR;
        }
    }
    const DWORD error = WriteAt(open.fd, from, count, position, done);
    open.slot->position.store(position + (long long)*done, std::memory_order_relaxed);
    return error;
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

// Whether the last part of a path names a stream: a colon in a file's name. Without the
// switch, such a name is refused as a volume without streams (FAT, many network shares)
// refuses it, so that nothing named with a colon appears beside the file.
bool RefusesStreamName(LPCSTR name)
{
    const char *slash = strrchr(name, '/');
    if (strchr(slash ? slash + 1 : name, ':') == nullptr || ShimStreamsAsFiles())
        return false;
    t_lastError = ERROR_INVALID_NAME;
    return true;
}

// Whether two names differ at most in the case of ASCII letters (whatever the locale).
bool SameBarAsciiCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        const char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 'a' + 'A') : *a;
        const char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 'a' + 'A') : *b;
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// The name of an existing file to read as Windows finds it: the exact name, or where that
// is absent the one name in its folder that differs from it only in the case of ASCII
// letters. With none, or two or more such names, the name itself (the open then fails).
// The found name is built in buffer (PATH_MAX bytes): a run allocates nothing.
const char *FoundName(const char *name, char *buffer)
{
    struct stat info;
    if (lstat(name, &info) == 0 || errno != ENOENT)
        return name;
    const char *slash = strrchr(name, '/');
    const size_t folderLength = slash ? (size_t)(slash - name + 1) : 0;
    if (folderLength + NAME_MAX + 1 > PATH_MAX)
        return name;
    memcpy(buffer, name, folderLength);
    buffer[folderLength] = 0;
    const char *leaf = slash ? slash + 1 : name;
    DIR *listing = opendir(folderLength == 0 ? "." : buffer);
    if (!listing)
        return name;
    int matches = 0;
    while (const dirent *entry = readdir(listing)) {
        if (SameBarAsciiCase(entry->d_name, leaf) && ++matches == 1)
            strcpy(buffer + folderLength, entry->d_name);
    }
    closedir(listing);
    return matches == 1 ? buffer : name;
}

// The open itself, under g_filesLock: the sink, or a file checked against the share modes
// of the handles open on it.
HANDLE OpenLocked(LPCSTR name, DWORD access, DWORD share, bool reading, bool writing)
{
    const int index = FreeSlot();
    if (index < 0) {
        t_lastError = ERROR_TOO_MANY_OPEN_FILES;
        return INVALID_HANDLE_VALUE;
    }
    if (writing && !g_sinkPath.empty() && g_sinkPath == name) {
        // Nothing is opened, created or truncated: the path is only the sink's name.
        t_lastError = NO_ERROR;
        return FillSlot(index, kStateWrite | kStateSink, -1, nullptr, share, nullptr);
    }
    // No O_TRUNC yet: a refused open must leave the file as it was.
    // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for regular files.
    const bool both = access == (GENERIC_READ | GENERIC_WRITE);
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (reading ? O_RDONLY : both ? O_RDWR : O_WRONLY);
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
    for (const FileSlot &other : g_slots) {
        const uint64_t state = other.state.load(std::memory_order_relaxed);
        if ((state & (kStateRead | kStateWrite)) && !(state & kStateSink) && other.device == info.st_dev &&
            other.inode == info.st_ino && !SharesWith(access, share, StateAccess(state), other.share)) {
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
    // A buffer only where no other handle of this process can see the file change under
    // it: a reader that lets nobody write, a writer that lets nobody in at all.
    FileBuffer *buffer = reading ? &g_readAhead : &g_writeBehind;
    const DWORD excluded = reading ? FILE_SHARE_WRITE : FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (buffer->taken || g_bufferSize == 0 || (share & excluded))
        buffer = nullptr;
    if (buffer) {
        buffer->taken = true;
        buffer->size = g_bufferSize;
        buffer->start = 0;
        buffer->length = 0;
        buffer->pending = NO_ERROR;
    }
    const HANDLE handle =
        FillSlot(index, reading ? kStateRead : both ? kStateRead | kStateWrite : kStateWrite, fd, &info, share, buffer);
    // On Windows the file's flush makes its new name durable too; here the folder's entry
    // is another write, kept for FlushFileBuffers. A folder that cannot be opened for
    // reading (one the user may only write in) is left to the system.
    if (writing && !existed) {
        const char *slash = strrchr(name, '/');
        char folder[PATH_MAX];
        const size_t folderLength = slash == nullptr ? 0 : (size_t)(slash - name + 1);
        if (folderLength < sizeof folder) {
            memcpy(folder, name, folderLength);
            strcpy(folder + folderLength, folderLength == 0 ? "." : "");
            g_slots[index].folderFd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
    }
    // CREATE_ALWAYS over an existing file succeeds with ERROR_ALREADY_EXISTS.
    t_lastError = writing && existed ? ERROR_ALREADY_EXISTS : NO_ERROR;
    return handle;
}

} // namespace

// Models a file open: read-only OPEN_EXISTING, or write-only or read-write CREATE_ALWAYS
// (the write sink stays write-only), with share modes.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD, HANDLE templateFile)
{
    const bool reading = access == GENERIC_READ && disposition == OPEN_EXISTING;
    const bool writing =
        (access == GENERIC_WRITE || access == (GENERIC_READ | GENERIC_WRITE)) && disposition == CREATE_ALWAYS;
    if (!reading && !writing)
        ShimRefuse("CreateFileA", "only GENERIC_READ with OPEN_EXISTING or GENERIC_WRITE (with or without "
                                  "GENERIC_READ) with CREATE_ALWAYS");
    if (templateFile)
        ShimRefuse("CreateFileA", "a template file");
    if (!name) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    if (RefusesStreamName(name))
        return INVALID_HANDLE_VALUE;
    // Only a file that is read is looked for without regard to case: one that is written
    // keeps its exact name, so that no other file of the folder is overwritten.
    char buffer[PATH_MAX];
    const char *found = reading ? FoundName(name, buffer) : name;
    std::lock_guard<std::mutex> lock(g_filesLock);
    const HANDLE handle = OpenLocked(found, access, share, reading, writing);
    if (reading && !g_sinkPath.empty())
        g_sourceOpens.push_back(
            ShimSourceOpen{name, handle != INVALID_HANDLE_VALUE, g_sinkBytes.load(std::memory_order_relaxed)});
    return handle;
}

// Models a synchronous read: up to the count or the end of the file, TRUE with 0 at the end.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (!read || overlapped)
        ShimRefuse("ReadFile", "overlapped reads or a NULL byte count");
    *read = 0;
    const DWORD call = ShimNumberReadCall();
    OpenFile open;
    if (!FindFor(file, GENERIC_READ, &open))
        return FALSE;
    DWORD count = toRead;
    const DWORD fault = ShimFaultOnRead(call, &count);
    if (fault != NO_ERROR) {
        t_lastError = fault;
        return FALSE;
    }
    const ssize_t got = ReadAll(open, (BYTE *)buffer, count);
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
    const DWORD call = ShimNumberWriteCall();
    OpenFile open;
    if (!FindFor(file, GENERIC_WRITE, &open))
        return FALSE;
    const BYTE *from = (const BYTE *)buffer;
    size_t done = 0;
    DWORD count = toWrite;
    const long long position =
        (open.state & kStateSink) ? g_sinkBytes.load(std::memory_order_relaxed) : PositionOf(open);
    const DWORD fault = ShimFaultOnWrite(call, position, &count);
    if (fault == ERROR_WRITE_FAULT) {
        // The first bytes reach the file, yet the call reports none.
        WriteAll(open, from, count, &done);
        t_lastError = fault;
        return FALSE;
    }
    if (fault != NO_ERROR) {
        t_lastError = fault;
        return FALSE;
    }
    const DWORD error = WriteAll(open, from, count, &done);
    *written = (DWORD)done;
    if (error != NO_ERROR) {
        t_lastError = error;
        return FALSE;
    }
    return TRUE;
}

// Models moving the file position; a negative result fails with ERROR_NEGATIVE_SEEK.
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    OpenFile open;
    if (!Find(file, &open))
        return INVALID_SET_FILE_POINTER;
    const long long move = distanceHigh ? (long long)(((uint64_t)(DWORD)*distanceHigh << 32) | (DWORD)distance)
                                        : (long long)distance;
    if ((open.state & kStateSink) && method == FILE_BEGIN && move >= 0 && move <= kLargestPosition) {
        // The sink keeps no bytes, so a move from the start changes nothing: a restore that
        // leaves a piece's range for later moves past it. Only the answer is modelled.
        if (distanceHigh)
            *distanceHigh = (LONG)(DWORD)((uint64_t)move >> 32);
        t_lastError = NO_ERROR;
        return (DWORD)move;
    }
    RefuseOnSink(open, "SetFilePointer");
    FlushBeforeLooking(open);
    long long base = 0;
    struct stat info;
    if (method == FILE_CURRENT)
        base = PositionOf(open);
    else if (method == FILE_END)
        base = fstat(open.fd, &info) == 0 ? (long long)info.st_size : -1;
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
    if (target > kLargestPosition) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    open.slot->position.store(target, std::memory_order_relaxed);
    if (distanceHigh)
        *distanceHigh = (LONG)(DWORD)((uint64_t)target >> 32);
    // Callers tell a position whose low part is 0xFFFFFFFF from a failure by the last error.
    t_lastError = NO_ERROR;
    return (DWORD)target;
}

// Models cutting (or extending) a file opened for writing at the handle's position; the
// sink keeps no bytes and only answers.
BOOL WINAPI SetEndOfFile(HANDLE file)
{
    OpenFile open;
    if (!FindFor(file, GENERIC_WRITE, &open))
        return FALSE;
    if (open.state & kStateSink) {
        t_lastError = NO_ERROR;
        return TRUE;
    }
    FlushBeforeLooking(open);
    if (ftruncate(open.fd, (off_t)PositionOf(open)) != 0) {
        t_lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    t_lastError = NO_ERROR;
    return TRUE;
}

// Models the size query: the low part returned, the high part stored when asked for.
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    OpenFile open;
    if (!Find(file, &open))
        return INVALID_FILE_SIZE;
    RefuseOnSink(open, "GetFileSize");
    FlushBeforeLooking(open);
    struct stat info;
    if (fstat(open.fd, &info) != 0) {
        t_lastError = ErrorFromErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const uint64_t size = (uint64_t)info.st_size;
    if (sizeHigh)
        *sizeHigh = (DWORD)(size >> 32);
    t_lastError = NO_ERROR;
    return (DWORD)size;
}

// The attributes of the file or folder at name, with what stat tells of it in *info, or
// INVALID_FILE_ATTRIBUTES with the error set. The write sink's path names no file.
static DWORD AttributesOf(LPCSTR name, struct stat *info)
{
    if (name && g_hasSink.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(g_filesLock);
        if (!g_sinkPath.empty() && g_sinkPath == name) {
            t_lastError = ERROR_FILE_NOT_FOUND;
            return INVALID_FILE_ATTRIBUTES;
        }
    }
    if (name && RefusesStreamName(name))
        return INVALID_FILE_ATTRIBUTES;
    if (!name || stat(name, info) != 0) {
        t_lastError = name ? ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER;
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info->st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

// Models the attribute query: directory, normal file, or INVALID_FILE_ATTRIBUTES.
DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    struct stat info;
    return AttributesOf(name, &info);
}

// Models the standard attributes of a file or folder: what GetFileAttributesA answers,
// with a file's size. Its times are not modelled (zero).
BOOL WINAPI GetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information)
{
    if (level != GetFileExInfoStandard)
        ShimRefuse("GetFileAttributesExA", "an information level other than GetFileExInfoStandard");
    if (information == NULL) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    struct stat info;
    const DWORD attributes = AttributesOf(name, &info);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    WIN32_FILE_ATTRIBUTE_DATA *data = (WIN32_FILE_ATTRIBUTE_DATA *)information;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = attributes;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        data->nFileSizeHigh = (DWORD)((unsigned long long)info.st_size >> 32);
        data->nFileSizeLow = (DWORD)info.st_size;
    }
    return TRUE;
}

// Models closing a file or thread handle; FALSE with ERROR_INVALID_HANDLE for others.
BOOL WINAPI CloseHandle(HANDLE object)
{
    if (object == INVALID_HANDLE_VALUE)
        ShimRefuse("CloseHandle", "the current-process pseudo handle (INVALID_HANDLE_VALUE)");
    {
        std::lock_guard<std::mutex> lock(g_filesLock);
        OpenFile open;
        FileSlot *slot = Lookup(object, &open);
        if (slot) {
            // The slot is free again and keeps its generation, which the next open of it
            // counts on from. A thread still using the handle now fails as Windows fails a
            // closed handle; one that was inside a call on it at this moment is a fault of
            // the caller, as on Windows.
            // What is still behind goes out first; a failure there, or one a call before
            // could not report, is the close's, and the handle is closed all the same.
            DWORD error = NO_ERROR;
            if (FileBuffer *buffer = slot->buffer) {
                FlushBeforeLooking(open);
                error = buffer->pending;
                buffer->taken = false;
                buffer->length = 0;
                buffer->pending = NO_ERROR;
                slot->buffer = nullptr;
            }
            slot->state.store(open.state & (kStateGenerationMask << kStateGenerationShift), std::memory_order_release);
            if (open.fd >= 0)
                close(open.fd);
            if (slot->folderFd >= 0)
                close(slot->folderFd);
            slot->folderFd = -1;
            if (error != NO_ERROR) {
                t_lastError = error;
                return FALSE;
            }
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
// nanoseconds; Linux keeps no creation time, so that one is ignored. On the write sink it
// succeeds and changes nothing.
BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *, const FILETIME *access, const FILETIME *write)
{
    OpenFile open;
    if (!FindFor(file, GENERIC_WRITE, &open))
        return FALSE;
    if (open.state & kStateSink)
        return TRUE;
    // The times are set after the last bytes went out, or their write would move them.
    FlushBeforeLooking(open);
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = times[0];
    if (access) times[0] = ToUnixTime(access);
    if (write) times[1] = ToUnixTime(write);
    if (futimens(open.fd, times) != 0) {
        t_lastError = ErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// Models waiting until the file's bytes are on the disk: what is still behind goes out,
// then fsync. A failure of either is reported here. On the write sink it succeeds.
BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    const DWORD call = ShimNumberSyncCall();
    OpenFile open;
    if (!FindFor(file, GENERIC_WRITE, &open))
        return FALSE;
    if (ShimFaultOnSync(call)) {
        t_lastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    if (open.state & kStateSink)
        return TRUE;
    if (FileBuffer *buffer = open.slot->buffer) {
        DWORD error = Flush(open, buffer);
        if (error == NO_ERROR)
            error = buffer->pending;
        buffer->pending = NO_ERROR;
        if (error != NO_ERROR) {
            t_lastError = error;
            return FALSE;
        }
    }
    int synced;
    do
        synced = fsync(open.fd);
    while (synced != 0 && errno == EINTR);
    if (synced != 0) {
        t_lastError = errno == EIO ? ERROR_WRITE_FAULT : ErrorFromErrno(errno);
        return FALSE;
    }
    // The new file's name, after its bytes: a file system that cannot sync a folder
    // (EINVAL) has nothing to wait for.
    const int folder = open.slot->folderFd;
    if (folder >= 0) {
        do
            synced = fsync(folder);
        while (synced != 0 && errno == EINTR);
        if (synced != 0 && errno != EINVAL) {
            t_lastError = errno == EIO ? ERROR_WRITE_FAULT : ErrorFromErrno(errno);
            return FALSE;
        }
        ShimCountFolderSync();
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

int ShimCountOpenFiles(void)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    int count = 0;
    for (const FileSlot &slot : g_slots)
        if (slot.state.load(std::memory_order_relaxed) & (kStateRead | kStateWrite))
            count++;
    return count;
}

void ShimSetFileBuffers(DWORD bytes)
{
    if (bytes > kShimMaxFileBuffer)
        ShimRefuse("ShimSetFileBuffers", "a buffer larger than kShimMaxFileBuffer");
    std::lock_guard<std::mutex> lock(g_filesLock);
    g_bufferSize = bytes;
}

void ShimSetWriteSink(const char *path)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    g_sinkPath = path ? path : "";
    g_hasSink.store(!g_sinkPath.empty(), std::memory_order_relaxed);
    g_sinkBytes.store(0, std::memory_order_relaxed);
    g_sourceOpens.clear();
}

long long ShimSinkBytes(void)
{
    return g_sinkBytes.load(std::memory_order_relaxed);
}

std::vector<ShimSourceOpen> ShimSourceOpens(void)
{
    std::lock_guard<std::mutex> lock(g_filesLock);
    return g_sourceOpens;
}

void ShimRefuse(const char *call, const char *what)
{
    fprintf(stderr, "native stand-in: %s: not modelled: %s\n", call, what);
    abort();
}
