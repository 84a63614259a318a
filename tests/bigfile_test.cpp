// tests/bigfile_test.cpp: a split file of 2 GiB + 10 MB, whose total size needs the 8-byte
// size form, restored natively: a first piece of 10 MB and a later piece of 2 GiB, whose
// piece length takes the 8-byte form too. The input is sparse (zeros with a few stretches
// of other bytes, one across the 2 GiB boundary), so that it costs little disk; the
// restored file is compared with it chunk by chunk, and every big file goes with the test's
// folder. The restore writes 2 GiB for real: the test needs 3 GiB free in the temporary
// folder and skips itself otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>

#include "support/faults_run.h"
#include "support/support.h"
#include "ui/state.h"

namespace {

const long long kFirstData = 10LL << 20;
const long long kSecondData = 1LL << 31;
const long long kTotal = kFirstData + kSecondData; // 2,157,969,408
const size_t kChunk = 1 << 20;

// The places where the input holds other bytes than zero, and how many.
struct Stretch {
    long long offset;
    size_t length;
};
const Stretch kStretches[] = {
    {0, 4096},                     // the first piece's first blocks
    {kFirstData - 1000, 3000},     // across the end of the first piece
    {kTotal / 2, 5000},            // inside the second piece
    {(1LL << 31) - 2048, 4096},    // across 2 GiB of the split file
    {kTotal - 3000, 3000},         // the last bytes
};

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Writes the sparse input: a file of kTotal bytes with the stretches filled.
bool WriteSparseInput(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)kTotal) != 0)
        return false;
    unsigned seed = 1;
    for (const Stretch &stretch : kStretches) {
        Bytes bytes = SomeBytes(stretch.length, seed++);
        if (pwrite(fd, bytes.data(), bytes.size(), (off_t)stretch.offset) != (ssize_t)bytes.size())
            return false;
    }
    return close(fd) == 0;
}

// Compares two files chunk by chunk; the first differing offset, or -1 when equal.
long long FirstDifference(const std::string &a, const std::string &b)
{
    FILE *fa = fopen(a.c_str(), "rb"), *fb = fopen(b.c_str(), "rb");
    if (fa == NULL || fb == NULL) {
        if (fa) fclose(fa);
        if (fb) fclose(fb);
        return 0;
    }
    std::vector<unsigned char> ca(kChunk), cb(kChunk);
    long long offset = 0, difference = -1;
    for (;;) {
        size_t ga = fread(ca.data(), 1, kChunk, fa), gb = fread(cb.data(), 1, kChunk, fb);
        size_t common = ga < gb ? ga : gb;
        if (memcmp(ca.data(), cb.data(), common) != 0)
            for (size_t i = 0; i < common && difference < 0; i++)
                if (ca[i] != cb[i])
                    difference = offset + (long long)i;
        if (difference < 0 && ga != gb)
            difference = offset + (long long)common;
        if (difference >= 0 || ga == 0)
            break;
        offset += (long long)ga;
    }
    fclose(fa);
    fclose(fb);
    return difference;
}

TEST(BigFile, RestoresTheEightByteSizeForm)
{
    TempDir dir;
    struct statvfs space;
    if (statvfs(dir.Path().c_str(), &space) == 0 && (long long)space.f_bavail * space.f_frsize < 3 * kTotal / 2)
        GTEST_SKIP() << "less than 3 GiB free in " << dir.Path();

    auto start = std::chrono::steady_clock::now();
    std::string input = dir.File("big.bin");
    ASSERT_TRUE(WriteSparseInput(input));
    SplitRun split = RunSplit({"--stub", MakeStub(dir), "--out", dir.Path(), "--base", "Big", "--data-counts",
                               std::to_string(kFirstData) + "," + std::to_string(kSecondData), "--time",
                               "2024-03-15T13:45:30", input});
    ASSERT_EQ(split.status, 0) << split.errors;
    double splitSeconds = Seconds(start);

    start = std::chrono::steady_clock::now();
    RunRequest request;
    request.ownPath = dir.File("Big.exe");
    request.destination = dir.File("restored.bin");
    RunResult run = RunRestore(request);
    double restoreSeconds = Seconds(start);

    EXPECT_EQ(run.info, InfoTextFor("big.bin", "2,157,969,408"));
    EXPECT_EQ(g_restoreInfo.totalSize, kTotal);
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(KindsText(run.kinds), KindsText({}));
    EXPECT_EQ(run.state, kRunIdle);
    EXPECT_EQ(run.openFiles, 0);
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(run.progress.back(), 100);
    for (size_t i = 1; i < run.progress.size(); i++)
        EXPECT_EQ(run.progress[i], run.progress[i - 1] + 1) << "position " << i;

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(FirstDifference(input, request.destination), -1);
    double compareSeconds = Seconds(start);
    printf("[ big file ] split %.1f s, restore %.1f s, compare %.1f s\n", splitSeconds, restoreSeconds,
           compareSeconds);
}

} // namespace
