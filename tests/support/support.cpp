// tests/support/support.cpp: the shared test helpers over POSIX calls, and the stand-in
// for the files the format readers read.
#include "support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <iconv.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "format/piece.h"

extern char **environ;

static std::string TempRoot()
{
    const char *root = getenv("TMPDIR");
    return root != NULL && root[0] != 0 ? root : "/tmp";
}

TempDir::TempDir()
{
    std::string pattern = TempRoot() + "/parcelon-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == NULL)
        ADD_FAILURE() << "cannot create a temporary folder from " << pattern;
    path_ = buffer.data();
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::MakeFolder(const std::string &name) const
{
    std::string path = File(name);
    if (mkdir(path.c_str(), 0777) != 0)
        ADD_FAILURE() << "cannot create " << path;
    return path;
}

std::vector<std::string> ListFolder(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == NULL)
        return names;
    while (const struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFileBytes(const std::string &path, const Bytes &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL) {
        ADD_FAILURE() << "cannot create " << path;
        return;
    }
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        ADD_FAILURE() << "cannot write " << path;
    fclose(file);
}

Bytes ReadFileBytes(const std::string &path)
{
    Bytes bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) {
        ADD_FAILURE() << "cannot open " << path;
        return bytes;
    }
    unsigned char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + got);
    fclose(file);
    return bytes;
}

Bytes SomeBytes(size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (unsigned char &b : bytes)
        b = (unsigned char)random();
    return bytes;
}

Bytes BytesOf(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

std::string MakeStub(const TempDir &dir)
{
    Bytes stub((size_t)kFirstPieceOffset);
    for (size_t i = 0; i < stub.size(); i++)
        stub[i] = (unsigned char)('A' + i % 26);
    std::string path = dir.File("stub.bin");
    WriteFileBytes(path, stub);
    return path;
}

OpenedFile::OpenedFile(const std::string &path)
{
    handle_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle_ == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "the stand-in cannot open " << path;
}

OpenedFile::~OpenedFile()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

long long OpenedFile::Position() const
{
    LONG high = 0;
    DWORD low = SetFilePointer(handle_, 0, &high, FILE_CURRENT);
    return (long long)high << 32 | low;
}

void OpenedFile::Seek(long long position) const
{
    LONG high = (LONG)(position >> 32);
    SetFilePointer(handle_, (LONG)(DWORD)position, &high, FILE_BEGIN);
}

// A file for one stream of the child, removed once read.
static int CaptureFile(std::string *path)
{
    std::string pattern = TempRoot() + "/parcelon-run-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    int fd = mkstemp(buffer.data());
    *path = buffer.data();
    return fd;
}

static std::string TakeCapture(int fd, const std::string &path)
{
    close(fd);
    Bytes bytes = ReadFileBytes(path);
    unlink(path.c_str());
    return std::string(bytes.begin(), bytes.end());
}

SplitRun RunSplit(const std::vector<std::string> &arguments, const std::string &copy)
{
    SplitRun run = {-1, "", ""};
    std::vector<char *> argv;
    std::string program = copy.empty() ? PARCELON_SPLIT : copy;
    argv.push_back(&program[0]);
    std::vector<std::string> copies(arguments);
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(NULL);

    std::string outPath, errPath;
    int out = CaptureFile(&outPath), err = CaptureFile(&errPath);
    if (out < 0 || err < 0) {
        ADD_FAILURE() << "cannot capture the output of parcelon-split";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t child;
    int failed = posix_spawn(&child, program.c_str(), &actions, NULL, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed != 0)
        ADD_FAILURE() << "cannot start " << program;
    else if (waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    run.output = TakeCapture(out, outPath);
    run.errors = TakeCapture(err, errPath);
    return run;
}

std::string Utf8FromCp932(const std::string &text)
{
    iconv_t cd = iconv_open("UTF-8", "CP932");
    std::vector<char> in(text.begin(), text.end()), out(text.size() * 3 + 4);
    char *inPtr = in.data(), *outPtr = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    if (cd == (iconv_t)-1 || iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == (size_t)-1)
        ADD_FAILURE() << "cannot convert a code page 932 text to UTF-8";
    if (cd != (iconv_t)-1)
        iconv_close(cd);
    return std::string(out.data(), (size_t)(outPtr - out.data()));
}
