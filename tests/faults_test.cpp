// tests/faults_test.cpp: deterministic fault injection on a small three-piece set: every
// piece file cut at every byte in and around its header and at sampled places in its data,
// every header byte (and sampled data and check bytes) changed, and the Nth read or write
// failing or coming up short. Each case runs the start-up load and one restore on this
// thread, with N1 and N2 answered Cancel at their third ask and every yes/no question Yes,
// and is held to three things:
//   - the messages its fault calls for (W4 for a cut in data or in a later header, N2 when
//     the marker is gone, N3 for a changed set identifier, W5/W6 for a changed data or
//     check byte, the write-failure message for a failed write, the damaged-file message at
//     start-up for a cut first header);
//   - the reference run over the same bytes (support/faults_model.h) in every detail;
//   - what success may mean. Run state 0 without W5 or W6 means the destination holds the
//     split file exactly. Run state 0 after W5 or W6 means the user forced a piece the
//     program called incorrect: the destination then holds exactly the total size's bytes
//     as the pieces had them. Run state -1 follows a stopping message (W4, N1 or N2
//     cancelled, the write failure). The destination, which held 16 KiB of older bytes,
//     is never longer than the bytes the run wrote, and no file is left open.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <map>
#include <memory>

#include "format/piece.h"
#include "support/faults_model.h"
#include "support/faults_run.h"
#include "support/support.h"
#include "ui/state.h"

namespace {

const long long F = kFirstPieceOffset;
// Piece 1 holds 3,000 data bytes behind a 38-byte header (name sample.txt, a time stamp);
// piece 2 2,500 behind 13 bytes; piece 3 2,000 behind 1,012 bytes of garbage and a 55-byte
// header with a 40-byte record, so that a cut in that header can lie beyond the 1,024
// bytes below which a piece file is never searched.
const int kData[3] = {3000, 2500, 2000};
const long long kDataStart[3] = {F + 38, 13, 1012 + 55};
const long long kHeaderStart[3] = {F, 0, 1012};
const int kJunk = 16384;
// The copy steps of a clean run, in bytes, and its read calls in order.
const DWORD kWrites[] = {1024, 1024, 952, 1024, 1024, 452, 1024, 976};
enum Read { kLoad, kData1, kCheck, kSearch, kHeader };
struct PlannedRead {
    Read what;
    int piece;
    DWORD count;
};

struct Set {
    TempDir dir;
    std::string exe, dest;
    std::string paths[3];
    Bytes files[3];
    Bytes content;
};

Set *g_set;
// Why the set is not as the cases need it; empty when it is. A failure inside
// SetUpTestSuite would only skip the cases, which a test run counts as passed: each case
// fails on it instead.
std::string g_setProblem;

class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_set = new Set;
        Set &s = *g_set;
        s.content = SomeBytes(7500, 7);
        std::string input = s.dir.File("sample.txt");
        WriteFileBytes(input, s.content);
        // Headers laid out as above: without the data-check record.
        SplitRun split = RunSplit({"--stub", MakeStub(s.dir), "--out", s.dir.Path(), "--base", "Data",
                                   "--data-counts", "3000,2500,2000", "--name", "sample.txt", "--time",
                                   "2024-03-15T13:45:30", "--set-id", "5A51", "--garbage", "3:1012",
                                   "--extra-record", "3:7:40", "--no-data-check", input});
        g_setProblem = split.status == 0 ? "" : "parcelon-split failed: " + split.errors;
        s.exe = s.dir.File("Data.exe");
        s.dest = s.dir.File("restored.txt");
        s.paths[0] = s.exe;
        s.paths[1] = s.dir.File("Data.d02");
        s.paths[2] = s.dir.File("Data.d03");
        for (int i = 0; i < 3 && g_setProblem.empty(); i++)
            s.files[i] = ReadFileBytes(s.paths[i]);
        const size_t kSizes[3] = {(size_t)(F + 38 + 3000 + 2), 2515, 3069};
        for (int i = 0; i < 3 && g_setProblem.empty(); i++)
            if (s.files[i].size() != kSizes[i])
                g_setProblem = s.paths[i] + " is " + std::to_string(s.files[i].size()) + " bytes, not " +
                               std::to_string(kSizes[i]);
    }
    void SetUp() override { ASSERT_EQ(g_setProblem, ""); }
    static void TearDownTestSuite()
    {
        delete g_set;
        g_set = nullptr;
    }
};

// One case: the three files as it has them and the fault switches it sets.
struct Injected {
    std::vector<Bytes> files;
    ModelFaults faults;
};

Injected Pristine()
{
    return Injected{{g_set->files[0], g_set->files[1], g_set->files[2]}, ModelFaults()};
}

struct Seen {
    RunResult run;
    Bytes dest;
    std::string label;
};

int Count(const RunResult &run, Box kind)
{
    int n = 0;
    for (Box k : run.kinds)
        n += k == kind;
    return n;
}

// What must hold for every case, whatever its fault.
void CheckSuccessRules(const Seen &seen)
{
    const RunResult &run = seen.run;
    const Set &s = *g_set;
    SCOPED_TRACE(seen.label + ": " + KindsText(run.kinds));
    EXPECT_EQ(Count(run, Box::Unknown), 0);
    EXPECT_LE(Count(run, Box::N1), 3);
    EXPECT_LE(Count(run, Box::N2), 3);
    EXPECT_EQ(run.openFiles, 0);
    if (run.closed) {
        EXPECT_EQ(run.kinds, std::vector<Box>{Box::Damaged});
        EXPECT_FALSE(run.ran);
        EXPECT_EQ(seen.dest, Bytes(kJunk, 0xEE)) << "the start-up load touched the destination";
        return;
    }
    ASSERT_TRUE(run.ran);
    ASSERT_FALSE(run.kinds.empty());
    EXPECT_EQ(run.kinds.front(), Box::W2);
    EXPECT_LE(seen.dest.size(), (size_t)run.writeCalls * 1024) << "older bytes survived the restore";
    if (run.state == kRunIdle) {
        if (Count(run, Box::W5) + Count(run, Box::W6) > 0)
            EXPECT_EQ((long long)seen.dest.size(), g_restoreInfo.totalSize);
        else
            EXPECT_TRUE(seen.dest == s.content) << "success without the split file";
    } else {
        EXPECT_EQ(run.state, kRunStopped);
        Box last = run.kinds.back();
        EXPECT_TRUE(last == Box::W4 || last == Box::N1 || last == Box::N2 || last == Box::WriteFailed)
            << "stopped after " << BoxName(last);
    }
}

Seen RunCase(const std::string &label, const Injected &injected)
{
    const Set &s = *g_set;
    for (int i = 0; i < 3; i++)
        WriteFileBytes(s.paths[i], injected.files[i]);
    WriteFileBytes(s.dest, Bytes(kJunk, 0xEE));
    const ModelFaults f = injected.faults;
    RunRequest request;
    request.ownPath = s.exe;
    request.destination = s.dest;
    request.beforeLoad = [f] {
        if (f.failRead)
            ShimFailReadFile((int)f.failRead);
        if (f.shortRead)
            ShimShortReadFile((int)f.shortRead, f.shortReadBytes);
        if (f.failWrite)
            ShimFailWriteFile((int)f.failWrite, f.failWriteFirst);
        if (f.shortWrite)
            ShimShortWriteFile((int)f.shortWrite, f.shortWriteBytes);
        if (f.diskBytes >= 0)
            ShimSetFullDisk(f.diskBytes);
    };
    Seen seen{RunRestore(request), {}, label};

    ModelSet set;
    set.exe = ModelFile{true, injected.files[0]};
    set.later = {ModelFile{true, injected.files[1]}, ModelFile{true, injected.files[2]}};
    set.destinationExists = true;
    set.oldDestination = Bytes(kJunk, 0xEE);
    ModelOutcome model = ModelRestore(set, request.policy, f);
    EXPECT_EQ(CompareWithModel(seen.run, model, s.exe, s.dest), "") << label;
    seen.dest = ReadFileBytes(s.dest);
    CheckSuccessRules(seen);
    return seen;
}

// The messages after W2 and the run state a case must end with.
void ExpectOutcome(const Seen &seen, const std::vector<Box> &after, LONG state)
{
    std::vector<Box> kinds = {Box::W2};
    kinds.insert(kinds.end(), after.begin(), after.end());
    EXPECT_EQ(KindsText(seen.run.kinds), KindsText(kinds)) << seen.label;
    EXPECT_TRUE(seen.run.ran) << seen.label;
    EXPECT_EQ(seen.run.state, state) << seen.label;
}

// A tally of outcomes per group, printed at the end of each test.
class Tally {
public:
    explicit Tally(const char *group) : group_(group) {}
    void Add(const Seen &seen)
    {
        std::string key = seen.run.closed ? "closed at start-up" : seen.run.state == 0 ? "finished" : "stopped";
        outcomes_[key + " after " + KindsText(seen.run.kinds)]++;
        count_++;
    }
    ~Tally()
    {
        printf("[ faults   ] %s: %d faults injected\n", group_, count_);
        for (const auto &entry : outcomes_)
            printf("[ faults   ]   %5d x %s\n", entry.second, entry.first.c_str());
    }

private:
    const char *group_;
    int count_ = 0;
    std::map<std::string, int> outcomes_;
};

const char *const kFileNames[3] = {"Data.exe", "Data.d02", "Data.d03"};

// The cut places of file i: every byte from just before its header to a few bytes past
// it, around 1,024 for the later pieces, around every block end of its data, every 97th
// data byte and the last bytes.
std::vector<long long> CutPlaces(int i)
{
    std::vector<long long> places;
    long long size = (long long)g_set->files[i].size();
    auto add = [&](long long from, long long to) {
        for (long long c = from; c <= to; c++)
            if (c >= 0 && c <= size && (places.empty() || places.back() < c))
                places.push_back(c);
    };
    add(kHeaderStart[i] - 3, kDataStart[i] + 3);
    if (i > 0)
        add(1020, 1030);
    for (long long c = kDataStart[i] + 4; c < size - 4; c++)
        if ((c - kDataStart[i]) % 97 == 0 || (c - kDataStart[i] + 1) % 1024 <= 2)
            add(c, c);
    add(size - 4, size);
    return places;
}

TEST_F(Faults, SoundSetRestoresExactlyWithItsTime)
{
    Tally tally("sound set");
    Seen seen = RunCase("sound set", Pristine());
    tally.Add(seen);
    ExpectOutcome(seen, {}, kRunIdle);
    EXPECT_EQ(seen.run.progress, (std::vector<int>{0, 13, 27, 40, 53, 67, 73, 86, 100}));
    struct stat info;
    ASSERT_EQ(stat(g_set->dest.c_str(), &info), 0);
    EXPECT_EQ((long long)info.st_mtime, 1710510330LL); // 2024-03-15 13:45:30 UTC
}

TEST_F(Faults, CutPieceFiles)
{
    Tally tally("cut piece files");
    for (int i = 0; i < 3; i++) {
        const Bytes &whole = g_set->files[i];
        long long size = (long long)whole.size();
        for (long long c : CutPlaces(i)) {
            Injected injected = Pristine();
            injected.files[i].resize((size_t)c);
            Seen seen = RunCase(std::string(kFileNames[i]) + " cut at " + std::to_string(c), injected);
            tally.Add(seen);
            const Set &s = *g_set;
            long long before = 0; // data bytes of the pieces before this one
            for (int p = 0; p < i; p++)
                before += kData[p];
            if (i == 0 && c < kDataStart[0]) {
                EXPECT_TRUE(seen.run.closed) << seen.label;
                continue;
            }
            if (i > 0 && c <= 1024) {
                ExpectOutcome(seen, {Box::N2, Box::N2, Box::N2}, kRunStopped);
                EXPECT_EQ(seen.dest, Bytes(s.content.begin(), s.content.begin() + before)) << seen.label;
                continue;
            }
            if (c < kDataStart[i] + kData[i]) {
                // A cut in a later header or in the data: the bytes of whole blocks
                // before the cut reach the destination, then W4 names the piece.
                long long data = c > kDataStart[i] ? c - kDataStart[i] : 0;
                ExpectOutcome(seen, {Box::W4}, kRunStopped);
                EXPECT_EQ(BoxPath(seen.run.boxes.back()), s.paths[i]) << seen.label;
                EXPECT_EQ(seen.dest, Bytes(s.content.begin(), s.content.begin() + before + data / 1024 * 1024))
                    << seen.label;
                continue;
            }
            // A cut in the check value: what is left of it, with missing bytes 0.
            WORD stored = (WORD)(whole[size - 2] | whole[size - 1] << 8);
            WORD read = c == size ? stored : c == size - 1 ? (WORD)(stored & 0xFF) : 0;
            std::vector<Box> warning;
            if (read != stored)
                warning.push_back(i == 2 ? Box::W6 : Box::W5);
            ExpectOutcome(seen, warning, kRunIdle);
        }
    }
}

// Changes one byte of file i at place p by XOR 0xFF and by +1, and checks the
// outcomes that follow from the field alone.
void ChangeByte(Tally &tally, int i, long long p)
{
    const Set &s = *g_set;
    for (int how = 0; how < 2; how++) {
        Injected injected = Pristine();
        unsigned char &b = injected.files[i][(size_t)p];
        b = how == 0 ? (unsigned char)(b ^ 0xFF) : (unsigned char)(b + 1);
        Seen seen = RunCase(std::string(kFileNames[i]) + (how == 0 ? " xor 0xFF at " : " +1 at ") +
                                std::to_string(p),
                            injected);
        tally.Add(seen);
        long long h = p - kHeaderStart[i];
        long long end = kDataStart[i] + kData[i];
        if (p >= kDataStart[i] && p < end + 2) {
            // Data and check bytes: the piece is called incorrect and forced in.
            ExpectOutcome(seen, {i == 2 ? Box::W6 : Box::W5}, kRunIdle);
            EXPECT_EQ(BoxPath(seen.run.boxes.back()), s.paths[i]) << seen.label;
            Bytes expected = s.content;
            long long offset = p - kDataStart[i];
            for (int q = 0; q < i; q++)
                offset += kData[q];
            if (p < end)
                expected[(size_t)offset] = b;
            EXPECT_TRUE(seen.dest == expected) << seen.label;
        } else if (i == 0 && h < 6) {
            ExpectOutcome(seen, {}, kRunIdle); // the marker and the byte after it are not read
        } else if (i == 0 && (h == 15 || h == 16)) {
            ExpectOutcome(seen, {Box::N3, Box::N3}, kRunIdle);
        } else if (i == 0 && h >= 31 && h <= 36) {
            ExpectOutcome(seen, {}, kRunIdle); // another time stamp
        } else if (i > 0 && h < 5) {
            ExpectOutcome(seen, {Box::N2, Box::N2, Box::N2}, kRunStopped);
        } else if (i > 0 && (h == 9 || h == 10)) {
            ExpectOutcome(seen, {Box::N3}, kRunIdle);
        } else if (i == 2 && (h == 12 || (h >= 14 && h <= 53))) {
            ExpectOutcome(seen, {}, kRunIdle); // the tag and payload of a skipped record
        }
    }
}

TEST_F(Faults, ChangedBytes)
{
    Tally tally("changed bytes");
    for (int i = 0; i < 3; i++) {
        for (long long p = kHeaderStart[i]; p < kDataStart[i]; p++)
            ChangeByte(tally, i, p);
        long long end = kDataStart[i] + kData[i];
        for (long long p : {kDataStart[i], kDataStart[i] + 1023, kDataStart[i] + 1024, end - 1, end, end + 1})
            ChangeByte(tally, i, p);
    }
}

// The read calls of a clean run, in order: the start-up load's ten, then per piece its
// data blocks and its check value, and for the later pieces the marker search and the
// header fields before them.
std::vector<PlannedRead> ReadPlan()
{
    std::vector<PlannedRead> plan(10, PlannedRead{kLoad, 1, 0});
    const int headerReads[3] = {0, 4, 6};
    DWORD const *write = kWrites;
    for (int i = 0; i < 3; i++) {
        if (i > 0)
            plan.push_back({kSearch, i + 1, 1024});
        for (int r = 0; r < headerReads[i]; r++)
            plan.push_back({kHeader, i + 1, 0});
        for (int left = kData[i]; left > 0; left -= (int)*write++)
            plan.push_back({kData1, i + 1, *write});
        plan.push_back({kCheck, i + 1, 2});
    }
    return plan;
}

TEST_F(Faults, FailedAndShortReads)
{
    Tally tally("failed and short reads");
    const std::vector<PlannedRead> plan = ReadPlan();
    Seen clean = RunCase("clean", Pristine());
    ASSERT_EQ(clean.run.readCalls, plan.size());
    const Set &s = *g_set;
    for (DWORD n = 1; n <= plan.size() + 1; n++) {
        for (int how = 0; how < 3; how++) {
            Injected injected = Pristine();
            const DWORD shortBytes = how == 1 ? 1 : 600;
            if (how == 0)
                injected.faults.failRead = n;
            else
                injected.faults.shortRead = n, injected.faults.shortReadBytes = shortBytes;
            Seen seen = RunCase("read " + std::to_string(n) + (how == 0 ? " fails" : " short by " +
                                                                                       std::to_string(shortBytes)),
                                injected);
            tally.Add(seen);
            if (n > plan.size()) {
                ExpectOutcome(seen, {}, kRunIdle);
                continue;
            }
            const PlannedRead &read = plan[n - 1];
            bool cut = how == 0 || shortBytes < read.count;
            if (read.what == kLoad && how == 0) {
                // A header field that does not arrive never passes unnoticed.
                EXPECT_TRUE(seen.run.closed || seen.run.kinds.size() > 1) << seen.label;
            } else if (read.what == kData1 && cut) {
                ExpectOutcome(seen, {Box::W4}, kRunStopped);
                EXPECT_EQ(BoxPath(seen.run.boxes.back()), s.paths[read.piece - 1]) << seen.label;
            } else if (read.what == kCheck && how == 0) {
                ExpectOutcome(seen, {read.piece == 3 ? Box::W6 : Box::W5}, kRunIdle);
            } else if (read.what == kSearch && (how < 2 || read.piece == 3)) {
                // The marker is not in what arrived; Retry opens the file again and finds it.
                ExpectOutcome(seen, {Box::N2}, kRunIdle);
            } else if (read.what == kSearch || (read.what == kData1 && !cut)) {
                ExpectOutcome(seen, {}, kRunIdle);
            }
        }
    }
}

TEST_F(Faults, FailedAndShortWrites)
{
    Tally tally("failed and short writes, full disk");
    const Set &s = *g_set;
    const int writes = sizeof kWrites / sizeof kWrites[0];
    struct Way {
        const char *name;
        DWORD bytes;
    };
    const Way ways[] = {{"fails", 0}, {"fails after 100 bytes", 100}, {"short by 1000", 1000}, {"writes 0", 0}};
    for (int n = 1; n <= writes + 1; n++) {
        for (int way = 0; way < 4; way++) {
            Injected injected = Pristine();
            if (way < 2)
                injected.faults.failWrite = (DWORD)n, injected.faults.failWriteFirst = ways[way].bytes;
            else
                injected.faults.shortWrite = (DWORD)n, injected.faults.shortWriteBytes = ways[way].bytes;
            Seen seen = RunCase("write " + std::to_string(n) + " " + ways[way].name, injected);
            tally.Add(seen);
            long long before = 0;
            for (int w = 0; w < n - 1 && w < writes; w++)
                before += kWrites[w];
            if (n > writes || (way >= 2 && ways[way].bytes >= kWrites[n - 1])) {
                ExpectOutcome(seen, {}, kRunIdle);
                continue;
            }
            ExpectOutcome(seen, {Box::WriteFailed}, kRunStopped);
            EXPECT_EQ(BoxPath(seen.run.boxes.back()), s.dest) << seen.label;
            long long kept = before + (ways[way].bytes < kWrites[n - 1] ? ways[way].bytes : kWrites[n - 1]);
            EXPECT_EQ(seen.dest, Bytes(s.content.begin(), s.content.begin() + kept)) << seen.label;
        }
    }
    for (long long disk : {0LL, 1LL, 1024LL, 2999LL, 3000LL, 3001LL, 7499LL, 7500LL}) {
        Injected injected = Pristine();
        injected.faults.diskBytes = disk;
        Seen seen = RunCase("disk of " + std::to_string(disk) + " bytes", injected);
        tally.Add(seen);
        if (disk >= 7500) {
            ExpectOutcome(seen, {}, kRunIdle);
            continue;
        }
        ExpectOutcome(seen, {Box::WriteFailed}, kRunStopped);
        long long kept = 0;
        for (DWORD w : kWrites)
            if (kept + w <= disk)
                kept += w;
            else
                break;
        EXPECT_EQ(seen.dest, Bytes(s.content.begin(), s.content.begin() + kept)) << seen.label;
    }
}

// A piece with more data than the total size still needs (here the first piece's 3,000
// bytes against a stored total of 2,500) fills the destination up to the total and no
// further; its check value is then taken from the bytes after the total's last byte.
TEST_F(Faults, PieceLongerThanTheTotalStopsAtTheTotal)
{
    Tally tally("piece longer than the total");
    Injected injected = Pristine();
    const unsigned char total[4] = {0x00, 0x00, 0x09, 0xC4}; // 2,500
    std::copy(total, total + 4, injected.files[0].begin() + F + 6);
    Seen seen = RunCase("total 2,500 in a piece of 3,000", injected);
    tally.Add(seen);
    ExpectOutcome(seen, {Box::W6}, kRunIdle);
    EXPECT_EQ(seen.dest, Bytes(g_set->content.begin(), g_set->content.begin() + 2500));
    EXPECT_EQ(seen.run.progress, (std::vector<int>{0, 40, 81, 100}));
}

} // namespace
