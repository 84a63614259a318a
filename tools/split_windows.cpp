// tools/split_windows.cpp: parcelon-split.exe on Windows: the entry, which reads the UTF-16
// command line; paths kept as UTF-8 inside the tool and handed to the wide file calls as
// UTF-16; messages to the console as UTF-16 and elsewhere as UTF-8; the stored name in code
// page 932 without best-fit substitutes; and the set's temporary files, removed on any
// failure or console interrupt, renamed to their final names at the end.
#include "tools/platform.h"

#include <windows.h>
// After windows.h: RtlGenRandom, which advapi32 exports as SystemFunction036.
#include <ntsecapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const UINT kCodePage932 = 932;
// ReadFile and WriteFile take a 32-bit count: larger requests go in pieces of this size.
const DWORD kLargestTransfer = 1u << 30;
// WriteConsoleW is given at most this many UTF-16 units at a time.
const size_t kConsoleChunk = 8192;
// Tries at a free temporary name before the output folder is taken as not writable.
const int kTemporaryNameTries = 1000;
// The longest name of a file in a folder that NTFS, FAT and exFAT take, in UTF-16 units.
const int kLongestNamePart = 255;

// UTF-16 to UTF-8. A lone surrogate, which a Windows file name may hold, becomes the
// three bytes UTF-8 would give its code point, so that every name survives the way back.
std::string Narrow(const std::wstring &wide)
{
    std::string out;
    for (size_t i = 0; i < wide.size(); i++) {
        unsigned long c = (unsigned short)wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && (unsigned short)wide[i + 1] >= 0xDC00 &&
            (unsigned short)wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((unsigned short)wide[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// UTF-8 (as Narrow makes it) back to UTF-16. The tool's texts come from Narrow or are
// ASCII; a byte that starts no well-formed sequence (a stray byte, an overlong form that
// could pass for another character, a code point above U+10FFFF) is taken as U+FFFD and
// clears *wellFormed. The surrogates' three-byte forms that Narrow makes of a lone
// surrogate come back as that surrogate.
std::wstring Widen(const std::string &text, bool *wellFormed = NULL)
{
    static const unsigned long kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    std::wstring out;
    if (wellFormed != NULL)
        *wellFormed = true;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = (unsigned char)text[i];
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        unsigned long c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
        bool ok = extra >= 0 && i + (size_t)extra < text.size();
        for (int k = 1; ok && k <= extra; k++) {
            unsigned char next = (unsigned char)text[i + (size_t)k];
            ok = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (ok && (c < kSmallest[extra] || c > 0x10FFFF))
            ok = false;
        if (!ok) {
            if (wellFormed != NULL)
                *wellFormed = false;
            out += (wchar_t)0xFFFD;
            i++;
            continue;
        }
        i += (size_t)extra + 1;
        if (c >= 0x10000) {
            out += (wchar_t)(0xD800 + ((c - 0x10000) >> 10));
            out += (wchar_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += (wchar_t)c;
        }
    }
    return out;
}

// The system's text for an error code, as strerror gives it on POSIX: one line without a
// final full stop, with the code behind it.
std::string SystemReason(DWORD error)
{
    wchar_t *text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, error, 0, (LPWSTR)&text, 0, NULL);
    std::wstring reason = length > 0 && text != NULL ? std::wstring(text, length) : std::wstring();
    if (text != NULL)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' ' ||
                               reason.back() == L'.' || reason.back() == 0x3002))
        reason.pop_back();
    std::string code = "error " + std::to_string(error);
    return reason.empty() ? code : Narrow(reason) + " (" + code + ")";
}

std::string LastReason()
{
    return SystemReason(GetLastError());
}

HANDLE StreamHandle(FILE *stream)
{
    return GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle)
{
    DWORD mode;
    return handle != NULL && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

bool Identify(const BY_HANDLE_FILE_INFORMATION &info, FileIdentity *identity)
{
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

// The files of the set. The console's interrupt handler runs on a thread of its own: the
// lock keeps it from removing files while the main thread adds or renames one, and it
// keeps the lock, so the main thread adds or renames none after it.
struct SetFile {
    std::wstring tempPath;
    std::wstring finalPath;
    HANDLE handle; // INVALID_HANDLE_VALUE once closed
};
std::vector<SetFile> g_setFiles; // written by the main thread under g_setLock
size_t g_renamedCount;           // files already under their final names; under g_setLock
CRITICAL_SECTION g_setLock;
bool g_setLockReady;             // set once by ReserveSetFiles on the main thread
// Old files that no new file replaces but that go with the old set; main thread only.
std::vector<std::wstring> g_retiredPaths;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    (void)event;
    // The files are removed and the default handler then ends the process.
    RemoveSetFiles();
    return FALSE;
}

std::wstring FolderOf(const std::wstring &path)
{
    size_t end = path.find_last_of(L"\\/:");
    return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++)
        args.push_back(Narrow(argv[i]));
    std::vector<char *> pointers;
    for (std::string &arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(NULL);
    return SplitMain(argc, pointers.data());
}

// --- texts ---

// A console shows UTF-16 whatever its code page; a pipe or file gets UTF-8.
void WriteText(FILE *stream, const std::string &text)
{
    HANDLE handle = StreamHandle(stream);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE)
        return;
    if (IsConsole(handle)) {
        std::wstring wide = Widen(text);
        for (size_t at = 0; at < wide.size(); at += kConsoleChunk) {
            DWORD count = (DWORD)std::min(kConsoleChunk, wide.size() - at), written;
            if (!WriteConsoleW(handle, wide.data() + at, count, &written, NULL))
                return;
        }
        return;
    }
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD written;
        if (!WriteFile(handle, p, (DWORD)std::min<size_t>(left, kLargestTransfer), &written, NULL) || written == 0)
            return;
        p += written;
        left -= written;
    }
}

bool IsInteractive(FILE *stream)
{
    return IsConsole(StreamHandle(stream));
}

std::string TextEncoding()
{
    return "UTF-16";
}

// No best-fit substitutes (a yen sign would otherwise become the backslash), no default
// character, and the result must read back as the very same UTF-16 units.
NameConversion ToCodePage932(const std::string &text, std::string *out)
{
    bool wellFormed;
    std::wstring wide = Widen(text, &wellFormed);
    out->clear();
    if (!wellFormed)
        return kNameNotText;
    if (wide.empty())
        return kNameConverted;
    BOOL usedDefault = FALSE;
    int length = WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), NULL, 0,
                                     NULL, &usedDefault);
    if (length <= 0 || usedDefault)
        return kNameNotInCodePage932;
    std::string bytes((size_t)length, '\0');
    usedDefault = FALSE;
    if (WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &bytes[0], length,
                            NULL, &usedDefault) != length ||
        usedDefault)
        return kNameNotInCodePage932;
    int backLength = MultiByteToWideChar(kCodePage932, MB_ERR_INVALID_CHARS, bytes.data(), length, NULL, 0);
    if (backLength <= 0)
        return kNameNotInCodePage932;
    std::wstring back((size_t)backLength, L'\0');
    if (MultiByteToWideChar(kCodePage932, MB_ERR_INVALID_CHARS, bytes.data(), length, &back[0], backLength) !=
            backLength ||
        back != wide)
        return kNameNotInCodePage932;
    *out = bytes;
    return kNameConverted;
}

// --- paths ---

const char kPathSeparator = '\\';

// A drive letter's colon ends a folder part too: C:report.pdf is report.pdf.
bool IsPathSeparator(char c)
{
    return c == '\\' || c == '/' || c == ':';
}

const char kDefaultStubHelp[] =
    "                         PnRestore.exe in this program's own folder is used, as\n"
    "                         the release zip has it\n";

const char kNameEncodingHelp[] = "                         the UTF-16 of the command line\n";

std::string FindStub()
{
    std::vector<wchar_t> self(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(NULL, self.data(), (DWORD)self.size());
        if (length == 0)
            Fail("no stub: --stub is not given, and this program's own path is unknown: %s", LastReason().c_str());
        if (length < self.size())
            break;
        self.resize(self.size() * 2);
    }
    std::wstring stub = FolderOf(self.data()) + L"PnRestore.exe";
    DWORD attributes = GetFileAttributesW(stub.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        Fail("no stub: --stub is not given and there is no %s. Give --stub STUB, or keep parcelon-split.exe "
             "beside PnRestore.exe, as the release zip has them",
             Narrow(stub).c_str());
    return Narrow(stub);
}

// --- reading ---

// The open inputs; a source's number is its index.
static std::vector<HANDLE> g_sources;

int OpenSource(const std::string &path, SourceFacts *facts, std::string *reason)
{
    // Folders open too (backup semantics), to be told apart from files afterwards.
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *reason = LastReason();
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        facts->isFile = false;
        facts->size = 0;
        facts->identity = {0, 0};
        facts->hasTime = false;
    } else if (!GetFileInformationByHandle(file, &info)) {
        *reason = LastReason();
        CloseHandle(file);
        return -1;
    } else {
        facts->isFile = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        facts->size = (long long)(((unsigned long long)info.nFileSizeHigh << 32) | info.nFileSizeLow);
        Identify(info, &facts->identity);
        // File times are kept in UTC; FileTimeToSystemTime does not shift them.
        SYSTEMTIME t;
        facts->hasTime = FileTimeToSystemTime(&info.ftLastWriteTime, &t) != FALSE;
        if (facts->hasTime)
            facts->lastWrite = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    }
    g_sources.push_back(file);
    return (int)g_sources.size() - 1;
}

long long ReadSource(int source, void *bytes, size_t count, std::string *reason)
{
    DWORD got;
    if (!ReadFile(g_sources[(size_t)source], bytes, (DWORD)std::min<size_t>(count, kLargestTransfer), &got, NULL)) {
        *reason = LastReason();
        return -1;
    }
    return got;
}

long long ReadSourceAt(int source, long long offset, void *bytes, size_t count, std::string *reason)
{
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)((unsigned long long)offset >> 32);
    DWORD got;
    if (!ReadFile(g_sources[(size_t)source], bytes, (DWORD)std::min<size_t>(count, kLargestTransfer), &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        *reason = LastReason();
        return -1;
    }
    return got;
}

void CloseSource(int source)
{
    CloseHandle(g_sources[(size_t)source]);
    g_sources[(size_t)source] = INVALID_HANDLE_VALUE;
}

bool ExistingIdentity(const std::string &path, FileIdentity *identity)
{
    HANDLE file = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(file, &info) && Identify(info, identity);
    CloseHandle(file);
    return known;
}

bool LookAtFolder(const std::string &path, bool *isFolder, std::string *reason)
{
    DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *reason = LastReason();
        return false;
    }
    *isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool RandomBytes(unsigned char *bytes, size_t count, std::string *reason)
{
    if (RtlGenRandom(bytes, (ULONG)count))
        return true;
    *reason = "the system's random number generator failed";
    return false;
}

// --- the files of the set ---

void ReserveSetFiles(size_t count)
{
    InitializeCriticalSection(&g_setLock);
    g_setLockReady = true;
    g_setFiles.reserve(count);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// Whether a file could not be created for the length of its path: past the path limit of
// a system without long paths, or with a last part longer than a file system's names.
static bool IsTooLong(const std::wstring &path, DWORD error)
{
    const size_t part = path.size() - FolderOf(path).size();
    const bool tooLong = path.size() >= MAX_PATH || part > (size_t)kLongestNamePart;
    return tooLong && (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_PATH_NOT_FOUND ||
                     error == ERROR_INVALID_NAME || error == ERROR_FILE_NOT_FOUND);
}

// The temporary file is opened with delete sharing, so that an interrupt can remove it
// while it is still open: it goes when the process ends.
int AddSetFile(const std::string &finalPath, bool executable)
{
    (void)executable;
    std::wstring final = Widen(finalPath);
    std::wstring folder = FolderOf(final);
    std::wstring name = final.substr(folder.size());
    EnterCriticalSection(&g_setLock);
    for (int attempt = 0; attempt < kTemporaryNameTries; attempt++) {
        std::wstring temp = folder + L"." + name + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(attempt) + L".tmp";
        HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            g_setFiles.push_back({temp, final, file});
            LeaveCriticalSection(&g_setLock);
            return (int)g_setFiles.size() - 1;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            LeaveCriticalSection(&g_setLock);
            if (IsTooLong(temp, error))
                Fail("cannot write %s: the name of its temporary file %s is too long (%zu characters, its last part "
                     "%zu; a name may have %d, and a path %d where long paths are not enabled); choose a shorter "
                     "output folder or --base",
                     finalPath.c_str(), Narrow(temp).c_str(), temp.size(), temp.size() - folder.size(),
                     kLongestNamePart, MAX_PATH - 1);
            std::string shown = folder.empty() ? std::string(".") : Narrow(folder);
            Fail("cannot write in the output folder %s: %s", shown.c_str(), SystemReason(error).c_str());
        }
    }
    std::string reason = LastReason();
    LeaveCriticalSection(&g_setLock);
    std::string shown = folder.empty() ? std::string(".") : Narrow(folder);
    Fail("cannot write in the output folder %s: %s", shown.c_str(), reason.c_str());
}

void WriteAll(int file, const void *bytes, size_t count, const std::string &finalPath)
{
    const char *p = (const char *)bytes;
    while (count > 0) {
        DWORD written;
        if (!WriteFile(g_setFiles[(size_t)file].handle, p, (DWORD)std::min<size_t>(count, kLargestTransfer), &written,
                       NULL))
            Fail("cannot write %s: %s", finalPath.c_str(), LastReason().c_str());
        // A write that succeeds with nothing written sets no error: the last error would be
        // another call's.
        if (written == 0)
            Fail("cannot write %s: nothing written", finalPath.c_str());
        p += written;
        count -= written;
    }
}

static void SeekSetFile(int file, long long offset, const std::string &finalPath)
{
    LARGE_INTEGER to;
    to.QuadPart = offset;
    if (!SetFilePointerEx(g_setFiles[(size_t)file].handle, to, NULL, FILE_BEGIN))
        Fail("cannot write %s: %s", finalPath.c_str(), LastReason().c_str());
}

void WriteSetFileAt(int file, long long offset, const void *bytes, size_t count, const std::string &finalPath)
{
    SeekSetFile(file, offset, finalPath);
    WriteAll(file, bytes, count, finalPath);
}

// The file's bytes reach the disk before it is closed and renamed into place: a set that
// stands under its final names after a power cut is whole.
void CloseSetFile(int file, const std::string &finalPath)
{
    EnterCriticalSection(&g_setLock);
    HANDLE handle = g_setFiles[(size_t)file].handle;
    BOOL flushed = FlushFileBuffers(handle);
    DWORD error = GetLastError();
    g_setFiles[(size_t)file].handle = INVALID_HANDLE_VALUE;
    BOOL closed = CloseHandle(handle);
    if (flushed && !closed)
        error = GetLastError();
    LeaveCriticalSection(&g_setLock);
    if (!flushed || !closed)
        Fail("cannot write %s: %s", finalPath.c_str(), SystemReason(error).c_str());
}

void RetireOldFile(const std::string &path)
{
    g_retiredPaths.push_back(Widen(path));
}

namespace {

// An old file and where it waits while the new set is put in place.
struct OldFile {
    std::wstring path;
    std::wstring aside;
};

bool IsOneOf(const std::wstring &path, const FileIdentity &input, const FileIdentity &stub)
{
    FileIdentity existing;
    return ExistingIdentity(Narrow(path), &existing) &&
           ((existing.volume == input.volume && existing.index == input.index) ||
            (existing.volume == stub.volume && existing.index == stub.index));
}

// Takes back what a failed commit did: the new files already in place go, the old files
// come back under their names. Returns what could not be put back, for the message.
// Called under g_setLock.
std::string PutBack(const std::vector<OldFile> &aside, size_t renamed)
{
    for (size_t i = renamed; i-- > 0;)
        DeleteFileW(g_setFiles[i].finalPath.c_str());
    g_renamedCount = 0;
    std::string lost;
    for (size_t i = aside.size(); i-- > 0;)
        if (!MoveFileExW(aside[i].aside.c_str(), aside[i].path.c_str(), 0))
            lost += "; the old " + Narrow(aside[i].path) + " is kept as " + Narrow(aside[i].aside);
    return lost;
}

// Moves an old file to a free name of its own in its folder; false with the system's
// error.
bool MoveAside(const std::wstring &path, std::wstring *aside, DWORD *error)
{
    for (int attempt = 0; attempt < kTemporaryNameTries; attempt++) {
        *aside = FolderOf(path) + L".parcelon-old." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(attempt) + L".tmp";
        if (MoveFileExW(path.c_str(), aside->c_str(), 0))
            return true;
        *error = GetLastError();
        if (*error != ERROR_ALREADY_EXISTS && *error != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

} // namespace

void CommitSetFiles(const FileIdentity &input, const FileIdentity &stub)
{
    EnterCriticalSection(&g_setLock);
    std::vector<std::wstring> wanted;
    for (const SetFile &f : g_setFiles)
        wanted.push_back(f.finalPath);
    wanted.insert(wanted.end(), g_retiredPaths.begin(), g_retiredPaths.end());
    std::vector<OldFile> aside;
    for (size_t i = 0; i < wanted.size(); i++) {
        const std::wstring &path = wanted[i];
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || IsOneOf(path, input, stub))
            continue;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (i >= g_setFiles.size())
                continue;
            std::string lost = PutBack(aside, 0);
            Fail("cannot rename a file of the set to %s: it is a folder%s", Narrow(path).c_str(), lost.c_str());
        }
        OldFile old = {path, std::wstring()};
        DWORD error = 0;
        if (!MoveAside(path, &old.aside, &error)) {
            std::string lost = PutBack(aside, 0);
            Fail("cannot move the old %s aside: %s%s", Narrow(path).c_str(), SystemReason(error).c_str(),
                 lost.c_str());
        }
        aside.push_back(old);
    }
    for (size_t i = 0; i < g_setFiles.size(); i++) {
        const SetFile &f = g_setFiles[i];
        if (!MoveFileExW(f.tempPath.c_str(), f.finalPath.c_str(), 0)) {
            std::string reason = LastReason();
            std::string lost = PutBack(aside, i);
            Fail("cannot rename %s to %s: %s%s", Narrow(f.tempPath).c_str(), Narrow(f.finalPath).c_str(),
                 reason.c_str(), lost.c_str());
        }
        g_renamedCount = i + 1;
    }
    g_setFiles.clear();
    g_renamedCount = 0;
    for (const OldFile &old : aside) {
        // A read-only file is removed only once its attribute is gone.
        if (!DeleteFileW(old.aside.c_str()) &&
            !(SetFileAttributesW(old.aside.c_str(), FILE_ATTRIBUTE_NORMAL) && DeleteFileW(old.aside.c_str())))
            WriteText(stderr, "parcelon-split: warning: cannot remove the old " + Narrow(old.path) + ", kept as " +
                                  Narrow(old.aside) + ": " + LastReason() + "\n");
    }
    LeaveCriticalSection(&g_setLock);
}

void RemoveSetFiles()
{
    if (!g_setLockReady)
        return;
    EnterCriticalSection(&g_setLock);
    for (size_t i = 0; i < g_setFiles.size(); i++)
        DeleteFileW(i < g_renamedCount ? g_setFiles[i].finalPath.c_str() : g_setFiles[i].tempPath.c_str());
    g_setFiles.clear();
    g_renamedCount = 0;
    // Held on purpose: nothing is added or renamed after the files are gone.
}
