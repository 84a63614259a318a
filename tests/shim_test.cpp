// tests/shim_test.cpp: the native stand-in's behaviour that the program's correctness leans on:
// file positions, I/O faults, share modes, file times, cross-thread sends, timers, wsprintfA.
#include <windows.h>
#include <commctrl.h>

#include "shim_internal.h"
#include "shim_testing.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

class ShimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ShimReset();
        char pattern[] = "/tmp/shim_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override
    {
        ShimReset();
        EXPECT_EQ(ShimOpenFileCount(), 0);
        EXPECT_EQ(system(("rm -rf '" + folder_ + "'").c_str()), 0);
    }
    // Creates a file with the given bytes and answers its path.
    std::string MakeFile(const char *name, const std::string &bytes)
    {
        const std::string path = folder_ + "/" + name;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL));
        EXPECT_TRUE(CloseHandle(file));
        return path;
    }
    static long long SizeOf(const std::string &path)
    {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? (long long)info.st_size : -1;
    }
    std::string folder_;
};

TEST_F(ShimTest, SetFilePointerMovesLikeWindows)
{
    struct Case {
        const char *label;
        LONG low, high; // high only when useHigh
        bool useHigh;
        DWORD method, answer, error;
        LONG highAfter;
        long long positionAfter; // the position starts at 10
    } cases[] = {
        {"begin", 4, 0, false, FILE_BEGIN, 4, NO_ERROR, 0, 4},
        {"back from current", -3, 0, false, FILE_CURRENT, 7, NO_ERROR, 0, 7},
        {"past the end", 50, 0, false, FILE_END, 150, NO_ERROR, 0, 150},
        {"high part", 5, 1, true, FILE_BEGIN, 5, NO_ERROR, 1, 0x100000005LL},
        {"low part all ones", -1, 0, true, FILE_BEGIN, 0xFFFFFFFFu, NO_ERROR, 0, 0xFFFFFFFFLL},
        {"negative", -11, 0, false, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 0, 10},
        {"negative 64-bit", -1, -1, true, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, -1, 10},
    };
    HANDLE file = CreateFileA(MakeFile("f", std::string(100, 'x')).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(SetFilePointer(file, 10, NULL, FILE_BEGIN), 10u);
        LONG high = c.high;
        EXPECT_EQ(SetFilePointer(file, c.low, c.useHigh ? &high : NULL, c.method), c.answer);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(high, c.useHigh ? c.highAfter : c.high);
        LONG positionHigh = 0;
        const DWORD positionLow = SetFilePointer(file, 0, &positionHigh, FILE_CURRENT);
        EXPECT_EQ(((long long)positionHigh << 32) | positionLow, c.positionAfter);
    }
    EXPECT_TRUE(CloseHandle(file));
}

// Each handle keeps its own position, which reads and writes move past the bytes they
// moved, a failed write included; a write past the end leaves zeros before it.
TEST_F(ShimTest, ReadsAndWritesMoveTheirHandlesPosition)
{
    const std::string path = folder_ + "/out";
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(out, "abc", 3, &done, NULL));
    EXPECT_EQ(SetFilePointer(out, 0, NULL, FILE_CURRENT), 3u);
    ASSERT_EQ(SetFilePointer(out, 6, NULL, FILE_BEGIN), 6u);
    ASSERT_TRUE(WriteFile(out, "z", 1, &done, NULL));
    ShimFailWriteFile(1, 2);
    EXPECT_FALSE(WriteFile(out, "0123", 4, &done, NULL));
    EXPECT_EQ(SetFilePointer(out, 0, NULL, FILE_CURRENT), 9u);

    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE first = CreateFileA(path.c_str(), GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE second = CreateFileA(path.c_str(), GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    char bytes[16];
    ASSERT_TRUE(ReadFile(first, bytes, 2, &done, NULL));
    EXPECT_EQ(std::string(bytes, done), "ab");
    ASSERT_TRUE(ReadFile(second, bytes, sizeof bytes, &done, NULL));
    EXPECT_EQ(std::string(bytes, done), std::string("abc\0\0\0z01", 9));
    ASSERT_TRUE(ReadFile(first, bytes, 3, &done, NULL));
    EXPECT_EQ(std::string(bytes, done), std::string("c\0\0", 3));
    EXPECT_EQ(SetFilePointer(second, 0, NULL, FILE_CURRENT), 9u);
    for (HANDLE handle : {out, first, second})
        EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(ShimTest, ReadFaultsAndEndOfFile)
{
    struct Case {
        const char *label;
        void (*arm)();
        const char *reads[4]; // what each 4-byte read delivers; NULL for a failed read
    } cases[] = {
        {"no fault", [] {}, {"0123", "4567", "89", ""}},
        {"first read fails", [] { ShimFailReadFile(1); }, {NULL, "0123", "4567", "89"}},
        {"second read short", [] { ShimShortReadFile(2, 1); }, {"0123", "4", "5678", "9"}},
    };
    const std::string path = MakeFile("f", "0123456789");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ShimResetFaults();
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        c.arm();
        for (const char *expected : c.reads) {
            char block[4];
            DWORD got = 99;
            EXPECT_EQ(ReadFile(file, block, sizeof block, &got, NULL), expected ? TRUE : FALSE);
            EXPECT_EQ(std::string(block, got), expected ? expected : "");
        }
        EXPECT_EQ(ShimReadFileCalls(), 4u);
        EXPECT_TRUE(CloseHandle(file));
    }
}

TEST_F(ShimTest, WriteFaults)
{
    struct Case {
        const char *label;
        void (*arm)();
        BOOL ok;
        DWORD written, error;
        long long sizeAfter;
    } cases[] = {
        {"fails after 4 bytes", [] { ShimFailWriteFile(1, 4); }, FALSE, 0, ERROR_WRITE_FAULT, 4},
        {"short", [] { ShimShortWriteFile(1, 3); }, TRUE, 3, NO_ERROR, 3},
        {"disk of 8 bytes", [] { ShimSetFullDisk(8); }, FALSE, 0, ERROR_DISK_FULL, 0},
        {"disk of 10 bytes", [] { ShimSetFullDisk(10); }, TRUE, 10, NO_ERROR, 10},
    };
    const std::string path = folder_ + "/out";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ShimResetFaults();
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        c.arm();
        SetLastError(NO_ERROR);
        DWORD written = 99;
        EXPECT_EQ(WriteFile(file, "0123456789", 10, &written, NULL), c.ok);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(CloseHandle(file));
        EXPECT_EQ(SizeOf(path), c.sizeAfter);
    }
}

// FlushFileBuffers makes a new file's name durable with its bytes, as on Windows: the
// folder is synced after the file. The name of a file that was there before already is.
TEST_F(ShimTest, FlushMakesANewFilesNameDurable)
{
    const struct {
        const char *label;
        bool existed;
        DWORD folderSyncs;
    } cases[] = {{"a new file", false, 1}, {"a file written over", true, 0}};
    const std::string path = folder_ + "/flushed";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        unlink(path.c_str());
        if (c.existed)
            MakeFile("flushed", "old");
        ShimResetFaults();
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, "0123456789", 10, &written, NULL));
        EXPECT_TRUE(FlushFileBuffers(file));
        EXPECT_EQ(ShimFolderSyncs(), c.folderSyncs);
        EXPECT_TRUE(CloseHandle(file));
    }
}

// The calls the program makes on a file read ahead or written behind in 16-byte buffers
// against the same calls straight through: each call answers alike (result, bytes, data,
// last error) and the file ends with the same bytes. Where the disk fails while a buffer
// goes out, the WriteFile that sent it or the CloseHandle reports it instead, and what the
// buffer held is lost.
TEST_F(ShimTest, BufferedFilesAnswerAsUnbuffered)
{
    enum Op { kRead, kBack, kBegin, kEnd, kWrite, kSize, kTime, kClose };
    struct Step {
        Op op;
        LONG n; // bytes to read or write, or the distance to move
    };
    struct Case {
        const char *label;
        bool writing;
        void (*arm)(); // per-call switches, armed after the open in both runs
        int failFlush; // ShimFailFlush for the buffered run; 0: none
        std::vector<Step> steps;
        int differs = -1;    // the step that reports the failed flush in the buffered run
        long long kept = 0;  // the size of the file the buffered run then leaves
    };
    const Case cases[] = {
        {"reads across buffer ends", false, nullptr, 0,
         {{kRead, 7}, {kRead, 7}, {kRead, 7}, {kRead, 7}, {kRead, 7}, {kRead, 7}, {kRead, 7}, {kClose, 0}}},
        {"the marker search's 4-byte step back", false, nullptr, 0,
         {{kRead, 10}, {kBack, -4}, {kRead, 10}, {kBack, -4}, {kRead, 10}, {kBack, -4}, {kRead, 10}, {kBack, -4},
          {kRead, 10}, {kClose, 0}}},
        {"seek back before the buffer, past the end, from the end", false, nullptr, 0,
         {{kRead, 20}, {kBegin, 2}, {kRead, 5}, {kBegin, 100}, {kRead, 5}, {kEnd, -3}, {kRead, 5}, {kClose, 0}}},
        {"short final read, then the end", false, nullptr, 0,
         {{kRead, 32}, {kRead, 16}, {kRead, 16}, {kSize, 0}, {kClose, 0}}},
        {"a read larger than the buffer", false, nullptr, 0, {{kRead, 3}, {kRead, 35}, {kRead, 5}, {kClose, 0}}},
        {"read switches act per call", false, [] { ShimShortReadFile(2, 3); ShimFailReadFile(3); }, 0,
         {{kRead, 10}, {kRead, 10}, {kRead, 10}, {kRead, 10}, {kClose, 0}}},
        {"writes then close", true, nullptr, 0,
         {{kWrite, 5}, {kWrite, 5}, {kWrite, 5}, {kWrite, 5}, {kWrite, 5}, {kWrite, 5}, {kWrite, 5}, {kClose, 0}}},
        {"writes around a size query and seeks", true, nullptr, 0,
         {{kWrite, 10}, {kSize, 0}, {kWrite, 10}, {kBegin, 4}, {kWrite, 3}, {kEnd, 0}, {kWrite, 20}, {kTime, 0},
          {kClose, 0}}},
        {"a write larger than the buffer", true, nullptr, 0, {{kWrite, 5}, {kWrite, 20}, {kWrite, 5}, {kClose, 0}}},
        {"write switches and the full disk act per call", true,
         [] { ShimFailWriteFile(2, 4); ShimShortWriteFile(3, 2); ShimSetFullDisk(30); }, 0,
         {{kWrite, 10}, {kWrite, 10}, {kWrite, 10}, {kWrite, 10}, {kWrite, 10}, {kClose, 0}}},
        {"a write that fails when its buffer goes out", true, nullptr, 1, {{kWrite, 10}, {kWrite, 10}, {kClose, 0}}, 1, 0},
        {"a close whose flush fails", true, nullptr, 1, {{kWrite, 10}, {kWrite, 5}, {kClose, 0}}, 2, 0},
        {"a flush for the time stamp fails: the close reports it", true, nullptr, 1,
         {{kWrite, 10}, {kTime, 0}, {kClose, 0}}, 2, 0},
    };
    const std::string source = MakeFile("source", "abcdefghijklmnopqrstuvwxyz0123456789ABCD");
    const std::string target = folder_ + "/target";
    struct Run {
        std::vector<std::string> answers;
        std::string bytes;
    };
    auto run = [&](const Case &c, DWORD bufferBytes) {
        ShimResetFaults();
        ShimSetFileBuffers(bufferBytes);
        HANDLE file = c.writing ? CreateFileA(target.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL)
                                : CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        if (c.arm)
            c.arm();
        if (bufferBytes && c.failFlush)
            ShimFailFlush(c.failFlush);
        Run result;
        char next = 'A';
        for (const Step &step : c.steps) {
            char bytes[64] = {0};
            DWORD done = 99;
            char answer[128];
            SetLastError(0xBEEF);
            if (step.op == kRead) {
                BOOL ok = ReadFile(file, bytes, (DWORD)step.n, &done, NULL);
                snprintf(answer, sizeof answer, "read %d %u '%.*s'", ok, done, (int)done, bytes);
            } else if (step.op == kWrite) {
                for (LONG i = 0; i < step.n; i++)
                    bytes[i] = next = next == 'Z' ? 'A' : next + 1;
                BOOL ok = WriteFile(file, bytes, (DWORD)step.n, &done, NULL);
                snprintf(answer, sizeof answer, "write %d %u", ok, done);
            } else if (step.op == kBack || step.op == kBegin || step.op == kEnd) {
                DWORD method = step.op == kBack ? FILE_CURRENT : step.op == kBegin ? FILE_BEGIN : FILE_END;
                snprintf(answer, sizeof answer, "seek %u", SetFilePointer(file, step.n, NULL, method));
            } else if (step.op == kSize) {
                snprintf(answer, sizeof answer, "size %u", GetFileSize(file, NULL));
            } else if (step.op == kTime) {
                FILETIME time = {0x12345678, 0x01D00000};
                snprintf(answer, sizeof answer, "time %d", SetFileTime(file, NULL, NULL, &time));
            } else {
                snprintf(answer, sizeof answer, "close %d", CloseHandle(file));
            }
            result.answers.push_back(std::string(answer) + " error " + std::to_string(GetLastError()));
        }
        FILE *written = fopen(c.writing ? target.c_str() : source.c_str(), "rb");
        char bytes[256];
        result.bytes.assign(bytes, written ? fread(bytes, 1, sizeof bytes, written) : 0);
        if (written)
            fclose(written);
        return result;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const Run straight = run(c, 0);
        const Run buffered = run(c, 16);
        ASSERT_EQ(buffered.answers.size(), straight.answers.size());
        for (size_t i = 0; i < straight.answers.size(); i++) {
            if ((int)i == c.differs) {
                EXPECT_EQ(buffered.answers[i], (c.steps[i].op == kClose ? "close 0" : "write 0 0") +
                                                   std::string(" error ") + std::to_string(ERROR_WRITE_FAULT));
                EXPECT_NE(straight.answers[i], buffered.answers[i]);
            } else {
                EXPECT_EQ(buffered.answers[i], straight.answers[i]) << "step " << i;
            }
        }
        if (c.differs < 0)
            EXPECT_EQ(buffered.bytes, straight.bytes);
        else
            EXPECT_EQ((long long)buffered.bytes.size(), c.kept);
    }
}

TEST_F(ShimTest, OpensThatShareModesOrDirectoriesRefuse)
{
    struct Case {
        const char *label;
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool opens;
    } cases[] = {
        {"writer while read", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, 0, false},
        {"reader while written", GENERIC_WRITE, 0, GENERIC_READ, FILE_SHARE_READ, false},
        {"writer where only reads are shared", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {"two readers", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {"writer where writes are shared", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE,
         FILE_SHARE_READ, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = MakeFile("f", "keep");
        auto open = [&](DWORD access, DWORD share) {
            return CreateFileA(path.c_str(), access, share, NULL,
                               access == GENERIC_READ ? OPEN_EXISTING : CREATE_ALWAYS, 0, NULL);
        };
        HANDLE first = open(c.firstAccess, c.firstShare);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = open(c.secondAccess, c.secondShare);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.opens);
        if (!c.opens) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
            // Refused before anything was truncated.
            EXPECT_EQ(SizeOf(path), c.firstAccess == GENERIC_READ ? 4 : 0);
        }
        EXPECT_TRUE(CloseHandle(first));
        if (second != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(second));
        }
    }
    for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
        EXPECT_EQ(CreateFileA(folder_.c_str(), access, FILE_SHARE_READ, NULL,
                              access == GENERIC_READ ? OPEN_EXISTING : CREATE_ALWAYS, 0, NULL),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(GetFileAttributesA(folder_.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((folder_ + "/f").c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA((folder_ + "/absent").c_str()), INVALID_FILE_ATTRIBUTES);
}

// A handle is a slot of a fixed table and the generation of the open that took it: one
// that is not open must fail as Windows fails it, also once its slot serves a later open.
TEST_F(ShimTest, HandlesThatAreNotOpenFail)
{
    const std::string path = MakeFile("f", "0123456789");
    auto openRead = [&] { return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL); };
    HANDLE closed = openRead();
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(closed));
    // More opens than the table has slots, so that the closed handle's slot is taken again.
    HANDLE latest = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 600; i++) {
        HANDLE file = openRead();
        ASSERT_NE(file, closed);
        if (latest != INVALID_HANDLE_VALUE) {
            ASSERT_TRUE(CloseHandle(latest));
        }
        latest = file;
    }
    const struct Case {
        const char *label;
        HANDLE handle;
    } cases[] = {
        {"closed, its slot reused", closed},
        {"NULL", NULL},
        {"the pseudo handle", INVALID_HANDLE_VALUE},
        {"between two handles", (HANDLE)((uintptr_t)latest + 1)},
        {"in the thread handles' range", (HANDLE)kShimFirstThreadHandle},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        char block[4];
        DWORD done = 99;
        SetLastError(NO_ERROR);
        EXPECT_FALSE(ReadFile(c.handle, block, sizeof block, &done, NULL));
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WriteFile(c.handle, "x", 1, &done, NULL));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetFilePointer(c.handle, 0, NULL, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetFileSize(c.handle, NULL), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        if (c.handle != INVALID_HANDLE_VALUE) {
            EXPECT_FALSE(CloseHandle(c.handle));
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        }
    }
    char block[10];
    DWORD done = 0;
    EXPECT_TRUE(ReadFile(latest, block, sizeof block, &done, NULL));
    EXPECT_EQ(std::string(block, done), "0123456789");
    EXPECT_FALSE(WriteFile(latest, "x", 1, &done, NULL)) << "a handle opened for reading writes";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(latest));
    EXPECT_FALSE(CloseHandle(latest));

    // Threads opening, reading and closing at once each read their own file's bytes.
    const std::string paths[2] = {MakeFile("a", "aaaa"), MakeFile("b", "bbbb")};
    auto churn = [](const std::string *file, char expected, int *wrong) {
        for (int i = 0; i < 2000; i++) {
            HANDLE h = CreateFileA(file->c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            char bytes[4] = {0, 0, 0, 0};
            DWORD got = 0;
            if (h == INVALID_HANDLE_VALUE || !ReadFile(h, bytes, 4, &got, NULL) || got != 4 || bytes[3] != expected ||
                !CloseHandle(h))
                (*wrong)++;
        }
    };
    int wrong[2] = {0, 0};
    std::thread first(churn, &paths[0], 'a', &wrong[0]);
    std::thread second(churn, &paths[1], 'b', &wrong[1]);
    first.join();
    second.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
    EXPECT_EQ(ShimOpenFileCount(), 0);
}

TEST_F(ShimTest, SystemTimeValidationAndFileTime)
{
    struct Case {
        WORD year, month, day, hour, minute, second, ms;
        BOOL valid;
    } cases[] = {
        {2024, 2, 29, 0, 0, 0, 0, TRUE},     {2023, 2, 29, 0, 0, 0, 0, FALSE}, {1900, 2, 29, 0, 0, 0, 0, FALSE},
        {2000, 2, 29, 0, 0, 0, 0, TRUE},     {2024, 4, 31, 0, 0, 0, 0, FALSE}, {2024, 1, 0, 0, 0, 0, 0, FALSE},
        {2024, 13, 1, 0, 0, 0, 0, FALSE},    {1600, 12, 31, 0, 0, 0, 0, FALSE}, {30828, 1, 1, 0, 0, 0, 0, FALSE},
        {2024, 1, 1, 24, 0, 0, 0, FALSE},    {2024, 1, 1, 0, 60, 0, 0, FALSE}, {2024, 1, 1, 0, 0, 60, 0, FALSE},
        {2024, 1, 1, 0, 0, 0, 1000, FALSE},  {30827, 12, 31, 23, 59, 59, 999, TRUE}, {1601, 1, 1, 0, 0, 0, 0, TRUE},
    };
    for (const Case &c : cases) {
        const SYSTEMTIME time = {c.year, c.month, 0, c.day, c.hour, c.minute, c.second, c.ms};
        FILETIME converted;
        EXPECT_EQ(SystemTimeToFileTime(&time, &converted), c.valid) << c.year << "-" << c.month << "-" << c.day;
    }
    const SYSTEMTIME known = {2024, 3, 5 /* ignored */, 15, 13, 45, 30, 250};
    FILETIME written;
    ASSERT_TRUE(SystemTimeToFileTime(&known, &written));
    EXPECT_EQ(((uint64_t)written.dwHighDateTime << 32) | written.dwLowDateTime, 133549839302500000ull);
    const std::string path = MakeFile("f", "x");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_TRUE(SetFileTime(file, NULL, NULL, &written));
    EXPECT_TRUE(CloseHandle(file));
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1710510330);
    EXPECT_EQ(info.st_mtim.tv_nsec, 250000000);
}

std::thread::id g_sendThread; // the thread WM_USER ran on; set by Proc

INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_USER) {
        g_sendThread = std::this_thread::get_id();
        return (INT_PTR)GetDlgItem(dialog, 1003);
    }
    if (message == WM_USER + 1)
        PostQuitMessage(3);
    return 0;
}

// Sends to the dialog, then to the control it answers, then posts the end of the loop.
DWORD WINAPI SendFromWorker(LPVOID dialog)
{
    const LRESULT control = SendMessageA((HWND)dialog, WM_USER, 0, 0);
    SendMessageA((HWND)control, PBM_SETPOS, 7, 0);
    PostMessageA((HWND)dialog, WM_USER + 1, 0, 0);
    return 0;
}

TEST_F(ShimTest, CrossThreadSendRunsOnTheLoopThread)
{
    HWND dialog = CreateDialogParamA(NULL, MAKEINTRESOURCE(102), NULL, Proc, 0);
    ASSERT_NE(dialog, (HWND)NULL);
    HANDLE worker = CreateThread(NULL, 0, SendFromWorker, dialog, 0, NULL);
    ASSERT_NE(worker, (HANDLE)NULL);
    EXPECT_TRUE(CloseHandle(worker));
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0))
        DispatchMessageA(&msg);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(g_sendThread, std::this_thread::get_id());
    ShimJoinThreads();
    EXPECT_EQ(ShimProgressHistory(), std::vector<int>{7});
    EXPECT_EQ(ShimPostedMessages().size(), 1u);
}

TEST_F(ShimTest, TimersFireRepeatedlyAtTheScaledInterval)
{
    ShimSetTimeScale(0.05);
    HWND dialog = CreateDialogParamA(NULL, MAKEINTRESOURCE(102), NULL, Proc, 0);
    ASSERT_EQ(SetTimer(dialog, 7, 500, NULL), 7u);
    ASSERT_EQ(SetTimer(dialog, 8, 100000, NULL), 8u);
    const auto start = std::chrono::steady_clock::now();
    MSG msg;
    for (int fired = 0; fired < 3; fired++) {
        ASSERT_TRUE(GetMessageA(&msg, NULL, 0, 0));
        ASSERT_EQ(msg.message, (UINT)WM_TIMER);
        ASSERT_EQ(msg.wParam, 7u); // timer 8 is far from due
        EXPECT_EQ(msg.lParam, 0);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(3 * 25));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3 * 500));
    EXPECT_TRUE(KillTimer(dialog, 7));
    EXPECT_FALSE(KillTimer(dialog, 7));
}

TEST_F(ShimTest, WsprintfConversionsAndLimit)
{
    char out[1100];
    EXPECT_EQ(wsprintfA(out, "%02d:%u:%x:%c:%ld:%s", 5, 4294967295u, 255, 'Z', (LONG)-1, "ok"), 24);
    EXPECT_STREQ(out, "05:4294967295:ff:Z:-1:ok");
    const std::string longText(2000, 'a');
    out[1023] = out[1024] = '#';
    EXPECT_EQ(wsprintfA(out, "%s!", longText.c_str()), 1023);
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], '#');
}

} // namespace
