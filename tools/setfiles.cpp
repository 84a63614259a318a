// tools/setfiles.cpp: temporary set files, their removal on any failure or interrupt,
// and the final renames.
#include "tools/setfiles.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

// Zero runs at least this long are skipped with a seek, so sparse inputs stay sparse.
static const size_t kHoleMinimum = 64 * 1024;

// The paths of the set, filled in order before the signal handler can see them: the
// vectors are reserved up front, so their storage never moves while a signal may come.
static std::vector<std::string> g_tempPaths;
static std::vector<std::string> g_finalPaths;
static volatile sig_atomic_t g_tempCount;    // temporary files that may exist
static volatile sig_atomic_t g_renamedCount; // files already under their final names

// Removes what the set has put on disk. Uses only calls that are safe in a signal handler.
static void RemoveSetFiles()
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

void Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("parcelon-split: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    RemoveSetFiles();
    exit(1);
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

void WriteAll(int fd, const void *bytes, size_t count, const std::string &finalPath)
{
    const unsigned char *p = (const unsigned char *)bytes;
    if (count >= kHoleMinimum && IsAllZero(p, count)) {
        if (lseek(fd, (off_t)count, SEEK_CUR) < 0)
            Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
        return;
    }
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

void CloseSetFile(int fd, const std::string &finalPath)
{
    // A file that ends in a skipped zero run gets its full size here.
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0 || ftruncate(fd, end) != 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
    if (close(fd) != 0)
        Fail("cannot write %s: %s", finalPath.c_str(), strerror(errno));
}

void CommitSetFiles()
{
    // An interrupt now would leave a set that is part old and part new: hold it off.
    sigset_t previous;
    BlockInterrupts(&previous);
    for (size_t i = 0; i < g_tempPaths.size(); i++) {
        if (rename(g_tempPaths[i].c_str(), g_finalPaths[i].c_str()) != 0)
            Fail("cannot rename %s to %s: %s", g_tempPaths[i].c_str(), g_finalPaths[i].c_str(), strerror(errno));
        g_renamedCount = (sig_atomic_t)(i + 1);
    }
    g_tempCount = 0;
    g_renamedCount = 0;
    sigprocmask(SIG_SETMASK, &previous, NULL);
}
