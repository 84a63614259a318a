// browser/windows.cpp: the browser stand-in for the Windows calls the restore engine makes.
// Files are the recipient's chosen File objects, found by name as Windows finds them
// (without regard to case); the engine's 1024-byte reads are served from slices of 1 MiB
// that the page reads ahead, and the destination's writes go to the page's sink in slices
// of 8 MiB. A slice, a question and a write to an asynchronous sink suspend the engine
// (Asyncify) until the page has it; nothing else crosses into JavaScript. Everything the
// engine does not call here refuses loudly.
#include "shim.h"

#include <commctrl.h>
#include <emscripten.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"

// The page's side. Files are numbered by the page; -1: no such file (or two that differ
// only in case), -2: the read failed.
// Names and texts cross as their code page 932 bytes.
EM_JS(int, HostFind, (const char *name), {
    let end = name;
    while (HEAPU8[end]) end++;
    return Module.host.find(HEAPU8.slice(name, end));
});
EM_JS(double, HostSize, (int file), { return Module.host.size(file); });
EM_ASYNC_JS(int, HostRead, (int file, double offset, BYTE *out, int count), {
    return await Module.host.read(file, offset, out, count);
});
// A write names the chosen file its bytes were copied from (-1: none), so that the page's
// sink may copy them file to file.
EM_ASYNC_JS(int, HostWrite, (const BYTE *data, int count, double position, int file, double fileAt), {
    return await Module.host.write(data, count, position, file, fileAt);
});
// Waits until the sink has taken every write handed to it; 0 when one failed.
EM_ASYNC_JS(int, HostDrain, (void), { return await Module.host.drain(); });
EM_ASYNC_JS(int, HostSeek, (double to, double from), { return await Module.host.seek(to, from); });
// A file opened for reading (or not found), with the bytes the destination had taken then.
EM_JS(void, HostOpened, (const char *name, int opened, double destinationBytes), {
    let end = name;
    while (HEAPU8[end]) end++;
    Module.host.onOpen(HEAPU8.slice(name, end), opened, destinationBytes);
});
EM_ASYNC_JS(int, HostTruncate, (double length), { return await Module.host.truncate(length); });
EM_ASYNC_JS(int, HostAsk, (const char *text, const char *caption, UINT type), {
    const bytes = (at) => {
        let end = at;
        while (HEAPU8[end]) end++;
        return HEAPU8.slice(at, end);
    };
    return await Module.host.ask(bytes(text), bytes(caption), type);
});
EM_JS(void, HostProgress, (int position), { Module.host.progress(position); });
EM_JS(int, HostCancelled, (void), { return Module.host.cancelled() ? 1 : 0; });

namespace {

const DWORD kMaxSlice = 1 << 20;
const int kMaxHandles = 8;
const int kMaxExtents = 4096;

enum Kind { kFree, kRead, kSink, kNowhere };

// One open handle: a chosen file read through its slice, or the destination.
struct Handle {
    Kind kind;
    int file;           // the page's number of a file read
    long long size;     // its size; the destination's length
    long long position;
    int sliceFile;      // the page's number of the file the slice holds bytes of; -1: none
    long long sliceAt;  // the file offset of the slice's first byte
    DWORD sliceLength;  // bytes the slice holds
    BYTE slice[kMaxSlice];
};

// A stretch of the destination that the run copied verbatim from a chosen file: a read
// back of it is served from that file.
struct Extent {
    long long at, length;
    int file;
    long long fileAt;
};

Handle g_handles[kMaxHandles];
DWORD g_lastError;
BrowserDestination g_destinationKind = kToNowhere;
char g_destinationName[1300];
long long g_destinationBytes;
void (*g_cancelHook)(void);
char g_destinationText[1300];

// The destination's write slice: bytes from g_writeAt on, not yet handed to the sink.
// Writes go out in larger slices: every write costs the page's sink a call of its own.
const DWORD kMaxWriteSlice = 8 << 20;
BYTE g_write[kMaxWriteSlice];
// The slices' sizes: kMaxSlice and kMaxWriteSlice, or less for a test.
DWORD kSlice = kMaxSlice;
DWORD kWriteSlice = kMaxWriteSlice;
// The destination's length when the piece being read was opened: a range set aside for the
// rebuild starts there. Whether the run has set one aside (once a run at most).
long long g_pieceStart;
BOOL g_setAside;
// A write slice the sink refused when no write of the engine's was there to report it: the
// next call on the destination reports it.
BOOL g_writeFailed;
long long g_writeAt;
DWORD g_writeLength;
// The last read of a chosen file: where its bytes went and came from.
const void *g_lastReadBuffer;
DWORD g_lastReadCount;
int g_lastReadFile = -1;
long long g_lastReadAt;
Extent g_extents[kMaxExtents];
int g_extentCount;

// Reads that jump about go through small blocks kept by file and place rather than through
// a handle's slice: a rebuild reads, for every 1024 bytes, the recovery file's table and
// parity data and every other piece's data back, and a slice filled anew for each of those
// reads would bring a mebibyte to the engine for every kibibyte it uses. Each file and place
// has one block it can be kept in; 16 MiB in all, enough for a thousand pieces read side
// by side.
const DWORD kMaxBlock = 16 << 10;
const int kBlocks = 1024;
struct Block {
    int file; // -1: empty
    long long at;
    DWORD length;
};
Block g_blocks[kBlocks];
BYTE g_blockBytes[kBlocks][kMaxBlock];

HWND const kDialog = (HWND)0x100;

Handle *HandleOf(HANDLE handle)
{
    const uintptr_t index = (uintptr_t)handle - 1;
    if (handle == INVALID_HANDLE_VALUE || index >= (uintptr_t)kMaxHandles || g_handles[index].kind == kFree)
        return NULL;
    return &g_handles[index];
}

HANDLE Open(Kind kind)
{
    for (int i = 0; i < kMaxHandles; i++) {
        if (g_handles[i].kind == kFree) {
            g_handles[i].kind = kind;
            g_handles[i].position = 0;
            g_handles[i].size = 0;
            g_handles[i].sliceLength = 0;
            g_handles[i].sliceAt = 0;
            g_handles[i].sliceFile = -1;
            return (HANDLE)(uintptr_t)(i + 1);
        }
    }
    g_lastError = ERROR_TOO_MANY_OPEN_FILES;
    return INVALID_HANDLE_VALUE;
}

// Asks the page whether the run is to stop, and tells the engine's entry.
void PollCancel(void)
{
    if (g_cancelHook != NULL && HostCancelled())
        g_cancelHook();
}

// Brings file bytes [at, at + count) of the page's file into the handle's slice, which then
// starts at `at`; FALSE when the page's read failed.
BOOL Fill(Handle *h, int file, long long at)
{
    const long long left = HostSize(file) - at;
    const DWORD want = left <= 0 ? 0 : left < (long long)kSlice ? (DWORD)left : kSlice;
    h->sliceFile = file;
    h->sliceAt = at;
    h->sliceLength = 0;
    if (want == 0)
        return TRUE;
    const int got = HostRead(file, (double)at, h->slice, (int)want);
    PollCancel();
    if (got < 0) {
        h->sliceFile = -1;
        return FALSE;
    }
    h->sliceLength = (DWORD)got;
    return TRUE;
}

// The block that holds byte `here` of a file, filled from the page where it does not yet;
// NULL when the page's read failed.
const Block *BlockFor(int file, long long here, const BYTE **bytes)
{
    const DWORD size = kSlice < kMaxBlock ? kSlice : kMaxBlock;
    const long long at = here - here % size;
    const unsigned index = (unsigned)((unsigned long long)(at / size) * 40503u + (unsigned)file * 2654435761u) % kBlocks;
    Block *b = &g_blocks[index];
    *bytes = g_blockBytes[index];
    if (b->file == file && b->at == at)
        return b;
    b->file = -1;
    const long long left = HostSize(file) - at;
    const int want = left <= 0 ? 0 : left < (long long)size ? (int)left : (int)size;
    const int got = want == 0 ? 0 : HostRead(file, (double)at, g_blockBytes[index], want);
    PollCancel();
    if (got < 0)
        return NULL;
    *b = Block{file, at, (DWORD)got};
    return b;
}

// Copies up to count bytes of the page's file from `at`: through the handle's slice where
// the read lies in it or goes on from its end, else through the blocks; -1 when the page's
// read failed.
long long ReadThrough(Handle *h, int file, long long at, BYTE *out, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        const long long here = at + done;
        const BYTE *from;
        DWORD n;
        const bool inSlice = h->sliceFile == file && here >= h->sliceAt && here < h->sliceAt + h->sliceLength;
        const bool onward = h->sliceFile < 0 || (h->sliceFile == file && here == h->sliceAt + h->sliceLength);
        if (inSlice || onward) {
            if (!inSlice) {
                if (!Fill(h, file, here))
                    return -1;
                if (h->sliceLength == 0)
                    break;
            }
            from = h->slice + (here - h->sliceAt);
            n = (DWORD)(h->sliceAt + h->sliceLength - here);
        } else {
            const BYTE *bytes;
            const Block *b = BlockFor(file, here, &bytes);
            if (b == NULL)
                return -1;
            if (here >= b->at + b->length)
                break;
            from = bytes + (here - b->at);
            n = (DWORD)(b->at + b->length - here);
        }
        if (n > count - done)
            n = count - done;
        memcpy(out + done, from, n);
        done += n;
    }
    return done;
}

// Hands what the write slice holds to the page's sink, and with `drain` waits until the sink
// has taken it; FALSE when the sink failed (this write, or one before it).
BOOL FlushWrites(BOOL drain = TRUE)
{
    if (g_writeFailed) {
        g_writeFailed = FALSE;
        g_writeLength = 0;
        return FALSE;
    }
    if (g_writeLength == 0)
        return !drain || HostDrain() == 1;
    const DWORD count = g_writeLength;
    g_writeLength = 0;
    int file = -1;
    long long fileAt = 0;
    for (int i = 0; i < g_extentCount; i++) {
        const Extent &e = g_extents[i];
        if (e.at <= g_writeAt && g_writeAt + count <= e.at + e.length) {
            file = e.file;
            fileAt = e.fileAt + (g_writeAt - e.at);
        }
    }
    if (HostWrite(g_write, (int)count, (double)g_writeAt, file, (double)fileAt) != 1)
        return FALSE;
    return !drain || HostDrain() == 1;
}

// Notes what destination bytes [at, at + count) now hold: the file bytes the last read
// gave, when these are they, else bytes that cannot be read back.
void NoteExtent(long long at, DWORD count, const void *data)
{
    // A stretch written again (a rebuild) is no longer the copy it was.
    int kept = 0;
    for (int i = 0; i < g_extentCount; i++)
        if (!(g_extents[i].at < at + count && at < g_extents[i].at + g_extents[i].length))
            g_extents[kept++] = g_extents[i];
    g_extentCount = kept;
    if (data != g_lastReadBuffer || count != g_lastReadCount || g_lastReadFile < 0)
        return;
    if (g_extentCount > 0) {
        Extent &last = g_extents[g_extentCount - 1];
        if (last.file == g_lastReadFile && last.at + last.length == at && last.fileAt + last.length == g_lastReadAt) {
            last.length += count;
            return;
        }
    }
    // A set of more pieces than the table holds: the bytes beyond it cannot be read back, and
    // a rebuild that needs them fails its check and says so, as it would for a read that fails.
    if (g_extentCount == kMaxExtents)
        return;
    g_extents[g_extentCount++] = Extent{at, count, g_lastReadFile, g_lastReadAt};
}

// Reads back destination bytes the run copied verbatim; -1 for a byte it did not copy.
long long ReadBack(Handle *h, BYTE *out, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        const long long here = h->position + done;
        const Extent *found = NULL;
        for (int i = 0; i < g_extentCount && found == NULL; i++)
            if (g_extents[i].at <= here && here < g_extents[i].at + g_extents[i].length)
                found = &g_extents[i];
        if (found == NULL)
            return here >= h->size ? done : -1;
        DWORD n = (DWORD)(found->at + found->length - here);
        if (n > count - done)
            n = count - done;
        if (ReadThrough(h, found->file, found->fileAt + (here - found->at), out + done, n) != n)
            return -1;
        done += n;
    }
    return done;
}

// Windows compares names without regard to the case of ASCII letters.
BOOL SameName(const char *a, const char *b)
{
    for (;; a++, b++) {
        char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 32) : *b;
        if (x != y)
            return FALSE;
        if (x == 0)
            return TRUE;
    }
}

BOOL IsDestination(const char *name)
{
    return g_destinationName[0] != 0 && SameName(name, g_destinationName);
}

} // namespace

[[noreturn]] void BrowserRefuse(const char *call, const char *what)
{
    fprintf(stderr, "browser stand-in: %s: %s is not modelled\n", call, what);
    abort();
}

void BrowserSetDestination(BrowserDestination kind, const char *name)
{
    g_destinationKind = kind;
    snprintf(g_destinationName, sizeof g_destinationName, "%s", name);
    g_destinationBytes = 0;
}

long long BrowserDestinationBytes(void)
{
    return g_destinationBytes;
}

void BrowserSetSliceSize(DWORD bytes)
{
    kSlice = bytes == 0 || bytes > kMaxSlice ? kMaxSlice : bytes;
    kWriteSlice = bytes == 0 || bytes > kMaxWriteSlice ? kMaxWriteSlice : bytes;
}

void BrowserSetCancelHook(void (*hook)(void))
{
    g_cancelHook = hook;
}

void BrowserReset(void)
{
    for (int i = 0; i < kMaxHandles; i++)
        g_handles[i].kind = kFree;
    // The page numbers its files anew for every run.
    for (int i = 0; i < kBlocks; i++)
        g_blocks[i].file = -1;
    g_writeLength = 0;
    g_extentCount = 0;
    g_lastReadFile = -1;
    g_lastReadBuffer = NULL;
    g_writeFailed = FALSE;
}

const char *BrowserDialogText(int id)
{
    return id == IDC_DESTINATION ? g_destinationText : "";
}

// Files

// Opens a chosen file for reading, or creates the destination; a stream (name:stream) is
// refused as a volume without streams refuses it.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    if (strchr(name, ':') != NULL) {
        g_lastError = ERROR_INVALID_NAME;
        return INVALID_HANDLE_VALUE;
    }
    if (access & GENERIC_WRITE) {
        if (!IsDestination(name) || disposition != CREATE_ALWAYS)
            BrowserRefuse("CreateFileA", "a file written other than the destination");
        HANDLE handle = Open(g_destinationKind == kToPageSink ? kSink : kNowhere);
        g_writeLength = 0;
        g_setAside = FALSE;
        g_writeAt = 0;
        g_extentCount = 0;
        return handle;
    }
    if (disposition != OPEN_EXISTING)
        BrowserRefuse("CreateFileA", "a read that creates");
    // A piece begins: what the last one gave goes to the sink, and a range set aside from
    // now on starts here.
    for (int i = 0; i < kMaxHandles; i++)
        if (g_handles[i].kind == kSink && !FlushWrites(FALSE))
            g_writeFailed = TRUE;
    g_pieceStart = g_destinationBytes;
    const int file = HostFind(name);
    HostOpened(name, file >= 0, (double)g_destinationBytes);
    if (file < 0) {
        g_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = Open(kRead);
    if (handle != INVALID_HANDLE_VALUE) {
        Handle *h = HandleOf(handle);
        h->file = file;
        h->size = (long long)HostSize(file);
    }
    return handle;
}

// Reads from a chosen file through its slice, or back from what the destination copied.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    Handle *h = HandleOf(file);
    *read = 0;
    if (h == NULL) {
        g_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    long long got;
    if (h->kind == kRead) {
        got = h->position >= h->size ? 0 : ReadThrough(h, h->file, h->position, (BYTE *)buffer, toRead);
        g_lastReadBuffer = buffer;
        g_lastReadCount = got < 0 ? 0 : (DWORD)got;
        g_lastReadFile = h->file;
        g_lastReadAt = h->position;
    } else if (h->kind == kSink) {
        // What is read back comes from the chosen files, never from what waits in the write
        // slice: the slice stays (a failed write is the next write's, or the close's).
        g_lastReadFile = -1;
        got = !g_writeFailed ? ReadBack(h, (BYTE *)buffer, toRead) : -1;
    } else {
        got = -1; // nothing was kept to read back
    }
    if (got < 0) {
        g_lastError = ERROR_READ_FAULT;
        return FALSE;
    }
    h->position += got;
    *read = (DWORD)got;
    return TRUE;
}

// Writes to the destination through its write slice (or nowhere, for a check).
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    Handle *h = HandleOf(file);
    *written = 0;
    if (h == NULL || h->kind == kRead) {
        g_lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (h->kind == kSink && g_writeFailed) {
        FlushWrites();
        g_lastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    if (h->kind == kSink) {
        NoteExtent(h->position, toWrite, buffer);
        const BYTE *from = (const BYTE *)buffer;
        DWORD done = 0;
        while (done < toWrite) {
            if (g_writeLength == kWriteSlice || (g_writeLength > 0 && g_writeAt + g_writeLength != h->position)) {
                if (!FlushWrites(FALSE)) {
                    g_lastError = ERROR_WRITE_FAULT;
                    return FALSE;
                }
            }
            if (g_writeLength == 0)
                g_writeAt = h->position;
            DWORD n = kWriteSlice - g_writeLength;
            if (n > toWrite - done)
                n = toWrite - done;
            memcpy(g_write + g_writeLength, from + done, n);
            g_writeLength += n;
            done += n;
            h->position += n;
        }
    } else {
        h->position += toWrite;
    }
    if (h->position > h->size)
        h->size = h->position;
    g_destinationBytes += toWrite;
    *written = toWrite;
    return TRUE;
}

// Moves a handle's position.
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    Handle *h = HandleOf(file);
    if (h == NULL) {
        g_lastError = ERROR_INVALID_HANDLE;
        return INVALID_SET_FILE_POINTER;
    }
    const long long move = distanceHigh != NULL ? (long long)*distanceHigh << 32 | (DWORD)distance : distance;
    const long long base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? h->position : h->size;
    if (base + move < 0) {
        g_lastError = ERROR_NEGATIVE_SEEK;
        return INVALID_SET_FILE_POINTER;
    }
    // The first move of the destination in a run sets a piece's range aside (the rebuild's
    // moves come later): the page's sink leaves it for the rebuild, after what it was given.
    // Later moves only move: a write elsewhere sends the write slice on first (the rebuild
    // moves for every 1024 bytes it reads back and writes, and a write or a wait for each
    // would cost the sink a call every time).
    if (h->kind == kSink && !g_setAside) {
        if (!FlushWrites()) {
            g_lastError = ERROR_WRITE_FAULT;
            return INVALID_SET_FILE_POINTER;
        }
        g_setAside = TRUE;
        if (HostSeek((double)(base + move), (double)g_pieceStart) != 1) {
            g_lastError = ERROR_WRITE_FAULT;
            return INVALID_SET_FILE_POINTER;
        }
        if (base + move > h->size)
            h->size = base + move;
    }
    h->position = base + move;
    if (distanceHigh != NULL)
        *distanceHigh = (LONG)(h->position >> 32);
    g_lastError = 0;
    return (DWORD)h->position;
}

// A file's size: the chosen file's, or what the destination holds.
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    Handle *h = HandleOf(file);
    if (h == NULL)
        BrowserRefuse("GetFileSize", "a handle that is not open");
    if (sizeHigh != NULL)
        *sizeHigh = (DWORD)(h->size >> 32);
    return (DWORD)h->size;
}

// A chosen file's attributes; the destination is never among them (the page's sink makes it).
DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    if (IsDestination(name) || strchr(name, ':') != NULL || HostFind(name) < 0) {
        g_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_FILE_ATTRIBUTES;
    }
    return FILE_ATTRIBUTE_NORMAL;
}

// The destination's attributes with its size: it does not exist before the run creates it.
BOOL WINAPI GetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS, LPVOID)
{
    if (!IsDestination(name))
        BrowserRefuse("GetFileAttributesExA", "a file other than the destination");
    g_lastError = ERROR_FILE_NOT_FOUND;
    return FALSE;
}

// Closes a handle; the destination's write slice goes to the sink, and its failure is the close's.
BOOL WINAPI CloseHandle(HANDLE object)
{
    Handle *h = HandleOf(object);
    if (h == NULL) {
        g_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const BOOL flushed = h->kind != kSink || FlushWrites();
    h->kind = kFree;
    if (!flushed)
        g_lastError = ERROR_WRITE_FAULT;
    return flushed;
}

// A date and time as 100 ns units since 1601 (UTC); FALSE for no valid date.
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *t, LPFILETIME out)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const BOOL leap = (t->wYear % 4 == 0 && t->wYear % 100 != 0) || t->wYear % 400 == 0;
    if (t->wYear < 1601 || t->wYear > 30827 || t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 ||
        t->wDay > kDays[t->wMonth - 1] + (t->wMonth == 2 && leap) || t->wHour > 23 || t->wMinute > 59 ||
        t->wSecond > 59 || t->wMilliseconds > 999) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    long long days = 0;
    for (int y = 1601; y < t->wYear; y++)
        days += ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
    for (int m = 1; m < t->wMonth; m++)
        days += kDays[m - 1] + (m == 2 && leap);
    days += t->wDay - 1;
    const unsigned long long units =
        ((((unsigned long long)days * 24 + t->wHour) * 60 + t->wMinute) * 60 + t->wSecond) * 10000000ULL +
        t->wMilliseconds * 10000ULL;
    out->dwLowDateTime = (DWORD)units;
    out->dwHighDateTime = (DWORD)(units >> 32);
    return TRUE;
}

// The page cannot set a saved file's time: the call succeeds and changes nothing (the
// page says so in its verdict).
BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *, const FILETIME *, const FILETIME *)
{
    return HandleOf(file) != NULL;
}

// Hands the destination's write slice to the sink: the sink's failure is this call's.
BOOL WINAPI FlushFileBuffers(HANDLE file)
{
    Handle *h = HandleOf(file);
    if (h == NULL || h->kind == kRead)
        BrowserRefuse("FlushFileBuffers", "a handle other than the destination");
    if (h->kind == kSink && !FlushWrites()) {
        g_lastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    return TRUE;
}

// Cuts the destination at its position (after a failed rebuild), as far as the sink can.
BOOL WINAPI SetEndOfFile(HANDLE file)
{
    Handle *h = HandleOf(file);
    if (h == NULL || h->kind == kRead)
        BrowserRefuse("SetEndOfFile", "a handle other than the destination");
    if (h->kind == kSink && (!FlushWrites() || HostTruncate((double)h->position) != 1)) {
        g_lastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    h->size = h->position;
    return TRUE;
}

// The error of the last call that failed.
DWORD WINAPI GetLastError(void)
{
    return g_lastError;
}

// The page knows no drive: the free room is the browser's, which the page checks itself.
BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER)
{
    g_lastError = ERROR_INVALID_NAME;
    return FALSE;
}

// No drive either: the file system's limits are the browser's.
BOOL WINAPI GetVolumePathNameA(LPCSTR, LPSTR, DWORD)
{
    g_lastError = ERROR_INVALID_NAME;
    return FALSE;
}

// Never reached: there is no volume path to ask about.
BOOL WINAPI GetVolumeInformationA(LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPSTR, DWORD)
{
    BrowserRefuse("GetVolumeInformationA", "a volume");
}

// Windows and messages

// The progress bar's position (0 to 100) goes to the page.
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (window != GetDlgItem(kDialog, IDC_PROGRESS) || message != PBM_SETPOS)
        BrowserRefuse("SendMessageA", "a message other than the progress bar's position");
    HostProgress((int)wParam);
    PollCancel();
    return 0;
}

// A control of the dialog: its ID makes its window.
HWND WINAPI GetDlgItem(HWND dialog, int id)
{
    if (dialog != kDialog)
        BrowserRefuse("GetDlgItem", "a window other than the dialog");
    return (HWND)(uintptr_t)(0x1000 + id);
}

// The destination field's text.
UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int size)
{
    if (dialog != kDialog || id != IDC_DESTINATION)
        BrowserRefuse("GetDlgItemTextA", "a field other than the destination");
    snprintf(text, (size_t)size, "%s", g_destinationText);
    return (UINT)strlen(text);
}

// The destination field, as the engine's entry fills it after a start-up load.
BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    if (dialog != kDialog || id != IDC_DESTINATION)
        BrowserRefuse("SetDlgItemTextA", "a field other than the destination");
    snprintf(g_destinationText, sizeof g_destinationText, "%s", text);
    return TRUE;
}

// Formats as Windows does for the engine's formats (%s, %d, %02d), up to 1024 bytes.
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, 1025, format, args);
    va_end(args);
    return length > 1024 ? 1024 : length;
}

// The page's question box: the engine waits until it is answered.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    if (owner != kDialog)
        BrowserRefuse("MessageBoxA", "a box owned by another window");
    return HostAsk(text, caption, type);
}

// The dialog as the engine's entry names it.
HWND BrowserDialog(void)
{
    return kDialog;
}
