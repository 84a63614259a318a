// tests/support/support.h: helpers the native tests share: a temporary folder per test,
// whole-file reads and writes, a stand-in stub, files opened through the stand-in, and
// runs of parcelon-split.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A folder of its own for one test, removed with everything in it when the object ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    // The path of an entry of the folder.
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    // Creates a subfolder and returns its path.
    std::string MakeFolder(const std::string &name) const;

private:
    std::string path_;
};

// The names in a folder, sorted; empty when it has none (or does not exist).
std::vector<std::string> ListFolder(const std::string &path);

void WriteFileBytes(const std::string &path, const Bytes &bytes);
Bytes ReadFileBytes(const std::string &path);
// count bytes that differ from test to test only by seed.
Bytes SomeBytes(size_t count, unsigned seed);
Bytes BytesOf(const std::string &text);

// Writes a stub of exactly the first-piece offset, 53,248 bytes, into the folder and
// returns its path. Natively any bytes do; these hold no zero byte and no piece marker.
std::string MakeStub(const TempDir &dir);

// A file opened for reading through the stand-in's CreateFileA, closed at the end.
class OpenedFile {
public:
    explicit OpenedFile(const std::string &path);
    ~OpenedFile();
    OpenedFile(const OpenedFile &) = delete;
    OpenedFile &operator=(const OpenedFile &) = delete;

    HANDLE Handle() const { return handle_; }
    // The file position as SetFilePointer reports it, 64-bit.
    long long Position() const;
    void Seek(long long position) const;

private:
    HANDLE handle_;
};

// What a run of parcelon-split gives back: its exit status (-1 when a signal ended it)
// and what it wrote to stdout and stderr.
struct SplitRun {
    int status;
    std::string output;
    std::string errors;
};
// Runs the build's parcelon-split, or the copy of it at program when one is given.
SplitRun RunSplit(const std::vector<std::string> &arguments, const std::string &program = "");

// The test sources are compiled to code page 932; this turns such a text into UTF-8 for a
// command line or a file name.
std::string Utf8FromCp932(const std::string &text);
