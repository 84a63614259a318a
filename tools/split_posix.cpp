// tools/split_posix.cpp: parcelon-split on Linux and other POSIX systems: the entry, paths
// and texts in the locale's encoding (iconv), the input read with read(2), and the set's
// temporary files, their removal on any failure or interrupt, and the final renames.
#include "tools/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

// Zero runs at least this long are skipped with a seek, so sparse inputs stay sparse.
static const size_t kHoleMinimum = 64 * 1024;

// The paths of the set, filled in order before the signal handler can see them: the
// vectors are reserved up front, so their storage never moves while a signal may come.
static std::vector<std::string> g_tempPaths;
static std::vector<std::string> g_finalPaths;
static volatile sig_atomic_t g_tempCount;    // temporary files that may exist
static volatile sig_atomic_t g_renamedCount; // files already under their final names
// Old files that no new file replaces but that go with the old set; main thread only.
static std::vector<std::string> g_retiredPaths;

// Removes what the set has put on disk. Uses only calls that are safe in a signal handler.
void RemoveSetFiles()
{
    for (sig_atomic_t i = 0; i < g_tempCount; i++)
        unlink(g_tempPaths[(size_t)i].c_str());
    for (sig_atomic_t i = 0; i < g_renamedCount; i++)
        unlink(g_finalPaths[(size_t)i].c_str());
}

static void OnSignal(int signal)
{
    RemoveSetFiles();
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void ReserveSetFiles(size_t count)
{
    g_tempPaths.reserve(count);
    g_finalPaths.reserve(count);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGHUP, OnSignal);
}

// Holds off the interrupts the set's files are removed on, between a file's creation and
// its entry in the lists, and while the files are renamed.
static void BlockInterrupts(sigset_t *previous)
{
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, previous);
}

static mode_t CurrentUmask()
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

int AddSetFile(const std::string &finalPath, bool executable)
{
    if (g_tempPaths.size() == g_tempPaths.capacity())
        Fail("internal error: more set files than reserved");
    size_t slash = finalPath.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string temp = folder + "." + name + ".XXXXXX";
    std::vector<char> pattern(temp.begin(), temp.end());
    pattern.push_back(0);
    sigset_t previous;
    BlockInterrupts(&previous);
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        Fail("cannot write in the output folder %s: %s", folder.empty() ? "." : folder.c_str(), strerror(errno));
    g_tempPaths.push_back(pattern.data());
    g_finalPaths.push_back(finalPath);
    g_tempCount = (sig_atomic_t)g_tempPaths.size();
    sigprocmask(SIG_SETMASK, &previous, NULL);
    // mkstemp makes the file private; the set's files get the modes of ordinary files.
    if (fchmod(fd, (executable ? 0777 : 0666) & ~CurrentUmask()) != 0)
        Fail("cannot set the mode of %s: %s", finalPath.c_str(), strerror(errno));
    return fd;
}

static bool IsAllZero(const unsigned char *bytes, size_t count)
{
    return count > 0 && bytes[0] == 0 && memcmp(bytes, bytes + 1, count - 1) == 0;
}

// Writes every byte at the file's position; a failure ends the tool.
static void WriteEvery(int fd, const unsigned char *p, size_t count, const std::string &finalPath)
{
    while (count > 0) {
        ssize_t written = write(fd, p, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            Fail("cannot write %s: %s", finalPath.c_str(), written < 0 ? strerror(errno) : "nothing written");
        p += written;
        count -= (size_t)written;
    }
}

void WriteAll(int fd, const void *bytes, size_t count, const std::string &finalPath)
{
    const unsigned char *p = (const unsigned char *)bytes;
    if (count >= kHoleMinimum && IsAllZero(p, count)) {
        if (lseek(fd, (off_t)count, SEEK_CUR) < 0)
            Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
        return;
    }
    WriteEvery(fd, p, count, finalPath);
}

void WriteSetFileAt(int fd, long long offset, const void *bytes, size_t count, const std::string &finalPath)
{
    if (lseek(fd, (off_t)offset, SEEK_SET) < 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
    WriteEvery(fd, (const unsigned char *)bytes, count, finalPath);
}

// Waits until what was written to fd is on the disk. A file system that cannot make a
// descriptor durable (EINVAL) has nothing to wait for.
static int SyncToDisk(int fd)
{
    int synced;
    do
        synced = fsync(fd);
    while (synced != 0 && errno == EINTR);
    return synced != 0 && errno != EINVAL ? -1 : 0;
}

// The file's bytes reach the disk before it is closed and named: after a power cut, a set
// under its final names is whole.
void CloseSetFile(int fd, const std::string &finalPath)
{
    // A file that ends in a skipped zero run gets its full size here.
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0 || ftruncate(fd, end) != 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
    if (SyncToDisk(fd) != 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
    if (close(fd) != 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
}

// Makes the names in the folder of path durable; false with the reason when the system
// reports a failure. A folder that cannot be opened for reading (one the user may only
// write in) is left to the system.
static bool SyncFolderOf(const std::string &path, std::string *reason)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    int synced = SyncToDisk(fd);
    int error = errno;
    close(fd);
    if (synced != 0)
        *reason = "cannot write in the output folder " + folder + ": " + strerror(error);
    return synced == 0;
}

void RetireOldFile(const std::string &path)
{
    g_retiredPaths.push_back(path);
}

static std::string FolderPart(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Whether two names differ at most in the case of ASCII letters, as the restoring side
// matches piece names.
static bool SameBarAsciiCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? (char)(a[i] - 'a' + 'A') : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? (char)(b[i] - 'a' + 'A') : b[i];
        if (x != y)
            return false;
    }
    return true;
}

// Whether path leads to the file of one of the two identities.
static bool IsOneOf(const std::string &path, const FileIdentity &a, const FileIdentity &b)
{
    struct stat target;
    if (stat(path.c_str(), &target) != 0)
        return false;
    const FileIdentity found = {(unsigned long long)target.st_dev, (unsigned long long)target.st_ino};
    return (found.volume == a.volume && found.index == a.index) || (found.volume == b.volume && found.index == b.index);
}

// An old file of the set's names, and whether it is a folder under a final name, which
// no file of the set can replace.
struct OldEntry {
    size_t order; // the index of the name it answers to: final names first, in order
    std::string path;
    bool inTheWay;
};

// The old files the commit moves aside, in the order of the names they answer to:
// whatever stands under a final name, and every file of the folders whose name is a
// retired one or differs from a final or retired name only in case. Other folders, and
// the input and the stub, are left alone.
static std::vector<OldEntry> OldFiles(const FileIdentity &input, const FileIdentity &stub)
{
    std::vector<std::string> wanted = g_finalPaths;
    wanted.insert(wanted.end(), g_retiredPaths.begin(), g_retiredPaths.end());
    std::vector<std::string> folders;
    std::vector<OldEntry> old;
    for (const std::string &path : wanted)
        if (std::find(folders.begin(), folders.end(), FolderPart(path)) == folders.end())
            folders.push_back(FolderPart(path));
    for (const std::string &folder : folders) {
        DIR *listing = opendir(folder.empty() ? "." : folder.c_str());
        if (listing == NULL)
            Fail("cannot read the output folder %s: %s", folder.empty() ? "." : folder.c_str(), strerror(errno));
        while (const dirent *entry = readdir(listing)) {
            const std::string path = folder + entry->d_name;
            size_t order = wanted.size();
            bool isFinal = false;
            for (size_t i = 0; i < wanted.size(); i++) {
                if (FolderPart(wanted[i]) != folder ||
                    !SameBarAsciiCase(entry->d_name, wanted[i].substr(folder.size())))
                    continue;
                order = std::min(order, i);
                isFinal = isFinal || (i < g_finalPaths.size() && wanted[i] == path);
            }
            struct stat info;
            if (order == wanted.size() || lstat(path.c_str(), &info) != 0 || IsOneOf(path, input, stub))
                continue;
            if (S_ISDIR(info.st_mode) && !isFinal)
                continue;
            old.push_back({order, path, S_ISDIR(info.st_mode)});
        }
        closedir(listing);
    }
    std::stable_sort(old.begin(), old.end(), [](const OldEntry &a, const OldEntry &b) { return a.order < b.order; });
    return old;
}

// An old file and where it waits while the new set is put in place.
struct OldFile {
    std::string path;
    std::string aside;
};

// Takes back what a failed commit did: the new files already in place go, the old files
// come back under their names. Returns what could not be put back, for the message.
static std::string PutBack(const std::vector<OldFile> &aside, size_t renamed)
{
    for (size_t i = renamed; i-- > 0;)
        unlink(g_finalPaths[i].c_str());
    g_renamedCount = 0;
    std::string lost;
    for (size_t i = aside.size(); i-- > 0;)
        if (rename(aside[i].aside.c_str(), aside[i].path.c_str()) != 0)
            lost += "; the old " + aside[i].path + " is kept as " + aside[i].aside;
    return lost;
}

void CommitSetFiles(const FileIdentity &input, const FileIdentity &stub)
{
    // An interrupt now would leave a set that is part old and part new: hold it off.
    sigset_t previous;
    BlockInterrupts(&previous);
    std::vector<OldFile> aside;
    for (const OldEntry &entry : OldFiles(input, stub)) {
        const std::string &path = entry.path;
        if (entry.inTheWay) {
            std::string lost = PutBack(aside, 0);
            Fail("cannot rename a file of the set to %s: it is a folder%s", path.c_str(), lost.c_str());
        }
        // A name of its own in the same folder, so that the move is a rename.
        std::string pattern = FolderPart(path) + ".parcelon-old.XXXXXX";
        int fd = mkstemp(&pattern[0]);
        if (fd >= 0)
            close(fd);
        if (fd < 0 || rename(path.c_str(), pattern.c_str()) != 0) {
            std::string reason = strerror(errno);
            if (fd >= 0)
                unlink(pattern.c_str());
            std::string lost = PutBack(aside, 0);
            Fail("cannot move the old %s aside: %s%s", path.c_str(), reason.c_str(), lost.c_str());
        }
        aside.push_back({path, pattern});
    }
    for (size_t i = 0; i < g_tempPaths.size(); i++) {
        if (rename(g_tempPaths[i].c_str(), g_finalPaths[i].c_str()) != 0) {
            std::string reason = strerror(errno);
            std::string lost = PutBack(aside, i);
            Fail("cannot rename %s to %s: %s%s", g_tempPaths[i].c_str(), g_finalPaths[i].c_str(), reason.c_str(),
                 lost.c_str());
        }
        g_renamedCount = (sig_atomic_t)(i + 1);
    }
    // The renames are durable once the folder is: until then a power cut may undo them.
    std::string reason;
    if (!g_finalPaths.empty() && !SyncFolderOf(g_finalPaths[0], &reason)) {
        std::string lost = PutBack(aside, g_finalPaths.size());
        Fail("%s%s", reason.c_str(), lost.c_str());
    }
    g_tempCount = 0;
    g_renamedCount = 0;
    for (const OldFile &old : aside)
        if (unlink(old.aside.c_str()) != 0)
            WriteText(stderr, "parcelon-split: warning: cannot remove the old " + old.path + ", kept as " + old.aside +
                                  ": " + strerror(errno) + "\n");
    sigprocmask(SIG_SETMASK, &previous, NULL);
}

int main(int argc, char **argv)
{
    // The command line and the file names are in the locale's encoding.
    setlocale(LC_ALL, "");
    return SplitMain(argc, argv);
}

// --- texts ---

void WriteText(FILE *stream, const std::string &text)
{
    fwrite(text.data(), 1, text.size(), stream);
}

bool IsInteractive(FILE *stream)
{
    return isatty(fileno(stream));
}

// Under the C locale, which says only ASCII, file names are taken as UTF-8.
std::string TextEncoding()
{
    const char *codeset = nl_langinfo(CODESET);
    if (codeset == NULL || strcmp(codeset, "ANSI_X3.4-1968") == 0 || strcmp(codeset, "ASCII") == 0)
        return "UTF-8";
    return codeset;
}

// Converts text between two encodings; false when it holds a byte sequence that the
// source encoding does not define or the target cannot represent.
static bool Convert(const std::string &text, const char *from, const char *to, std::string *out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        Fail("cannot convert from %s to %s: %s", from, to, strerror(errno));
    std::vector<char> in(text.begin(), text.end());
    std::vector<char> buffer(text.size() * 4 + 16);
    char *inPtr = in.data(), *outPtr = buffer.data();
    size_t inLeft = in.size(), outLeft = buffer.size();
    bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != (size_t)-1 &&
              iconv(cd, NULL, NULL, &outPtr, &outLeft) != (size_t)-1;
    iconv_close(cd);
    out->assign(buffer.data(), (size_t)(outPtr - buffer.data()));
    return ok;
}

// The C library maps some characters onto a code page 932 form that reads back as
// another character (WAVE DASH as FULLWIDTH TILDE, YEN SIGN as the backslash); Windows
// refuses those, and so does the tool: the name must come back as it was given.
NameConversion ToCodePage932(const std::string &text, std::string *out)
{
    const std::string encoding = TextEncoding();
    std::string wide, back;
    if (!Convert(text, encoding.c_str(), "UTF-32LE", &wide))
        return kNameNotText;
    if (!Convert(text, encoding.c_str(), "CP932", out) || !Convert(*out, "CP932", "UTF-32LE", &back) || back != wide)
        return kNameNotInCodePage932;
    return kNameConverted;
}

// --- paths ---

const char kPathSeparator = '/';

bool IsPathSeparator(char c)
{
    return c == '/';
}

const char kDefaultStubHelp[] =
    "                         installed one is used: PREFIX/share/parcelon/PnRestore.exe\n"
    "                         for this program in PREFIX/bin; a build tree's own program\n"
    "                         then takes the Windows build it was configured with\n";

const char kNameEncodingHelp[] =
    "                         the locale's encoding (UTF-8 under the C locale)\n";

static bool IsFile(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The folder of this program's executable, symbolic links resolved; empty where the
// system does not say.
static std::string OwnFolder()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || (size_t)length >= sizeof path)
        return "";
    std::string self(path, (size_t)length);
    return self.substr(0, self.rfind('/'));
}

static bool SameFolder(const std::string &a, const std::string &b)
{
    char realA[PATH_MAX], realB[PATH_MAX];
    return realpath(a.c_str(), realA) != NULL && realpath(b.c_str(), realB) != NULL && strcmp(realA, realB) == 0;
}

// The one installed beside this program's own prefix (which also holds for an unpacked
// package or a moved prefix), then, for the build tree's own program only, the Windows
// build it was configured with. A copy installed elsewhere never reaches back into a
// build tree.
std::string FindStub()
{
    const std::string folder = OwnFolder();
    std::string tried;
    if (!folder.empty()) {
        const std::string installed = folder + "/" + PARCELON_INSTALLED_STUB;
        if (IsFile(installed))
            return installed;
        tried = installed;
        const std::string built = PARCELON_BUILD_STUB;
        if (!built.empty() && SameFolder(folder, PARCELON_BUILD_FOLDER)) {
            if (IsFile(built))
                return built;
            tried += " and " + built;
        }
    }
    Fail("no stub: --stub is not given and none was found%s%s%s. Give --stub STUB, install the parcelon "
         "package (it puts the stub into PREFIX/share/parcelon/), or build the Windows stub and configure this "
         "build with -DPARCELON_WIN_BUILD=<the Windows build folder>",
         tried.empty() ? "" : " (looked for ", tried.c_str(), tried.empty() ? "" : ")");
}

// --- reading ---

int OpenSource(const std::string &path, SourceFacts *facts, std::string *reason)
{
    int fd = open(path.c_str(), O_RDONLY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        *reason = strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    facts->isFile = S_ISREG(info.st_mode);
    facts->size = (long long)info.st_size;
    facts->identity = {(unsigned long long)info.st_dev, (unsigned long long)info.st_ino};
    struct tm t;
    facts->hasTime = gmtime_r(&info.st_mtime, &t) != NULL;
    if (facts->hasTime)
        facts->lastWrite = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
    return fd;
}

long long ReadSource(int source, void *bytes, size_t count, std::string *reason)
{
    for (;;) {
        ssize_t got = read(source, bytes, count);
        if (got >= 0)
            return (long long)got;
        if (errno != EINTR) {
            *reason = strerror(errno);
            return -1;
        }
    }
}

long long ReadSourceAt(int source, long long offset, void *bytes, size_t count, std::string *reason)
{
    for (;;) {
        ssize_t got = pread(source, bytes, count, (off_t)offset);
        if (got >= 0)
            return (long long)got;
        if (errno != EINTR) {
            *reason = strerror(errno);
            return -1;
        }
    }
}

void CloseSource(int source)
{
    close(source);
}

bool ExistingIdentity(const std::string &path, FileIdentity *identity)
{
    struct stat existing;
    if (stat(path.c_str(), &existing) != 0)
        return false;
    *identity = {(unsigned long long)existing.st_dev, (unsigned long long)existing.st_ino};
    return true;
}

bool LookAtFolder(const std::string &path, bool *isFolder, std::string *reason)
{
    struct stat folder;
    if (stat(path.c_str(), &folder) != 0) {
        *reason = strerror(errno);
        return false;
    }
    *isFolder = S_ISDIR(folder.st_mode);
    return true;
}

bool RandomBytes(unsigned char *bytes, size_t count, std::string *reason)
{
    int fd = open("/dev/urandom", O_RDONLY);
    bool ok = fd >= 0 && read(fd, bytes, count) == (ssize_t)count;
    if (!ok)
        *reason = "/dev/urandom: " + std::string(strerror(errno));
    if (fd >= 0)
        close(fd);
    return ok;
}
