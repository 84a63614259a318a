// tests/split_test.cpp: parcelon-split: its refusals, the piece sizes it chooses, the data
// counts it is given, the stored names it accepts, and the malformed sets it makes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "format/crc16.h"
#include "format/crc64.h"
#include "format/piece.h"
#include "support/support.h"

namespace {

const long long F = kFirstPieceOffset;

// A test's folder with a stub, an input of 5,000 bytes and an empty output folder.
struct Workspace {
    TempDir dir;
    std::string stub = MakeStub(dir);
    std::string input = dir.File("input.bin");
    std::string out = dir.MakeFolder("out");
    Bytes content = SomeBytes(5000, 11);

    Workspace() { WriteFileBytes(input, content); }

    // The usual command line before the test's own options and the input.
    std::vector<std::string> Args(const std::vector<std::string> &options) const
    {
        std::vector<std::string> args = {"--stub", stub, "--out", out};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
};

// A set read back through the format reads, as the restoring side goes through it.
struct SetContents {
    Bytes data;
    std::vector<long long> dataCounts;
    std::vector<std::string> setIds; // two bytes each
    std::vector<bool> checkValuesRight;
    // Per piece: the data-check records its header holds, and whether the last one's CRC-64
    // is that of the piece's data (false without one).
    std::vector<int> dataCheckRecords;
    std::vector<bool> dataChecksRight;
    std::string name;
};

// The width of a size integer, from its first byte.
long long SizeWidthAt(const Bytes &file, long long at)
{
    return at < (long long)file.size() && (file[at] & 0x80) ? 8 : 4;
}

// Walks the header records from the tag at `at` to the end tag, by the format's own rules
// rather than the writer's placement, and notes the data-check records and the CRC-64 the
// last of them states.
void ReadDataCheck(const Bytes &file, long long at, long long dataStart, SetContents *set, Crc64 *stated)
{
    int records = 0;
    while (at < dataStart && file[at] != kEndTag) {
        BYTE tag = file[at++];
        long long length = file[at] & 0x80 ? ((file[at] & 0x7F) << 8 | file[at + 1]) + 128 : file[at];
        at += file[at] & 0x80 ? 2 : 1;
        if (tag == kDataCheckTag && length == kDataCheckLength) {
            records++;
            *stated = 0;
            for (int i = kDataCheckLength - 1; i >= 0; i--)
                *stated = *stated << 8 | file[at + i];
        }
        at += length;
    }
    EXPECT_EQ(at, dataStart - 1) << "the records do not end at the end tag";
    set->dataCheckRecords.push_back(records);
}

// Finds the first marker in a later piece file.
long long MarkerOffset(const Bytes &file)
{
    const char *marker = kPieceMarker;
    auto at = std::search(file.begin(), file.end(), marker, marker + kPieceMarkerLength);
    return at == file.end() ? -1 : at - file.begin();
}

void ReadPieceData(const Bytes &file, long long recordsStart, long long start, long long count, SetContents *set)
{
    if (start < 0 || count < 0 || start + count + 2 > (long long)file.size()) {
        ADD_FAILURE() << "piece " << set->dataCounts.size() << " is shorter than its header says";
        return;
    }
    set->data.insert(set->data.end(), file.begin() + start, file.begin() + start + count);
    WORD crc = Crc16Compute(0, file.data() + start, (size_t)count);
    set->checkValuesRight.push_back((file[start + count] | file[start + count + 1] << 8) == crc);
    Crc64 stated = 0;
    ReadDataCheck(file, recordsStart, start, set, &stated);
    set->dataChecksRight.push_back(set->dataCheckRecords.back() > 0 &&
                                   stated == Crc64Compute(0, file.data() + start, (size_t)count));
}

SetContents ReadSet(const std::string &pathWithoutExtension)
{
    SetContents set;
    std::string exe = pathWithoutExtension + ".exe";
    FirstPieceHeader first;
    long long headerEnd;
    {
        OpenedFile file(exe);
        if (!ReadFirstPieceHeader(file.Handle(), &first)) {
            ADD_FAILURE() << exe << " is damaged";
            return set;
        }
        headerEnd = file.Position();
    }
    set.name = first.name;
    set.setIds.push_back(std::string((const char *)first.setId, 2));
    set.dataCounts.push_back(first.pieceLength - (headerEnd - F));
    Bytes exeBytes = ReadFileBytes(exe);
    // Marker and the byte after it, total size, one byte, piece length, set identifier.
    long long totalEnd = F + 6 + SizeWidthAt(exeBytes, F + 6);
    long long firstRecords = totalEnd + 1 + SizeWidthAt(exeBytes, totalEnd + 1) + 2;
    ReadPieceData(exeBytes, firstRecords, headerEnd, set.dataCounts.back(), &set);
    for (int piece = 2; (long long)set.data.size() < first.totalSize && piece < 1000; piece++) {
        char extension[16];
        snprintf(extension, sizeof extension, ".d%02d", piece);
        std::string path = pathWithoutExtension + extension;
        Bytes bytes = ReadFileBytes(path);
        long long marker = MarkerOffset(bytes);
        if (marker < 0) {
            ADD_FAILURE() << path << " has no marker";
            return set;
        }
        OpenedFile file(path);
        file.Seek(marker + kPieceMarkerLength);
        LaterPieceHeader later;
        ReadLaterPieceStart(file.Handle(), &later);
        if (!ReadLaterPieceRecords(file.Handle(), &later)) {
            ADD_FAILURE() << path << " is truncated";
            return set;
        }
        set.setIds.push_back(std::string((const char *)later.setId, 2));
        set.dataCounts.push_back(later.remaining);
        // Marker, piece length, set identifier, the length integer.
        long long lengthInteger = marker + kPieceMarkerLength + SizeWidthAt(bytes, marker + kPieceMarkerLength) + 2;
        long long records = lengthInteger + (bytes[lengthInteger] & 0x80 ? 2 : 1);
        ReadPieceData(bytes, records, file.Position(), later.remaining, &set);
    }
    return set;
}

bool IsFile(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

long long FileSize(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (long long)info.st_size : -1;
}

struct Refusal {
    const char *label;
    // Prepares the workspace and returns the whole command line.
    std::function<std::vector<std::string>(Workspace &)> command;
    int status;
    const char *message;
};

std::string Repeat(const std::string &text, int count)
{
    std::string result;
    for (int i = 0; i < count; i++)
        result += text;
    return result;
}

// The first piece header of input.bin with a time stamp: marker 5, two skipped bytes,
// total size and piece length 4 each, set identifier 2, name record 2 + 9, time-stamp
// record 8, data-check record 10, end tag.
const long long kInputHeader = 47;

TEST(SplitTest, Refusals)
{
    const Refusal kRefusals[] = {
        {"stub one byte too long",
         [](Workspace &w) {
             WriteFileBytes(w.stub, Bytes((size_t)F + 1, 'S'));
             return w.Args({"--data-counts", "5000", w.input});
         },
         1, "at most 53248 bytes"},
        {"input missing", [](Workspace &w) { return w.Args({"--data-counts", "5000", w.dir.File("missing")}); }, 1,
         "cannot read"},
        {"input is a folder", [](Workspace &w) { return w.Args({"--data-counts", "0", w.dir.Path()}); }, 1,
         "not a file"},
        {"name outside code page 932",
         [](Workspace &w) { return w.Args({"--data-counts", "5000", "--name", "smile\xF0\x9F\x98\x80.txt", w.input}); },
         1, "code page 932"},
        {"name of 260 bytes in code page 932",
         [](Workspace &w) {
             // 89 characters of two bytes, 78 letters and ".txt": 260 bytes in code page 932.
             return w.Args({"--data-counts", "5000", "--name", Repeat("\xE8\xA1\xA8", 89) + Repeat("x", 78) + ".txt",
                            w.input});
         },
         1, "at most 259"},
        {"output folder missing",
         [](Workspace &w) {
             return std::vector<std::string>{"--stub", w.stub, "--out", w.dir.File("missing"), "--data-counts", "5000",
                                             w.input};
         },
         1, "output folder"},
        {"output folder is a file",
         [](Workspace &w) {
             return std::vector<std::string>{"--stub", w.stub, "--out", w.input, "--data-counts", "5000", w.input};
         },
         1, "not a folder"},
        {"set file would replace the input",
         [](Workspace &w) {
             std::string input = w.out + "/data.exe";
             WriteFileBytes(input, w.content);
             return w.Args({"--data-counts", "5000", input});
         },
         1, "would replace"},
        {"second file's name taken by a folder",
         [](Workspace &w) {
             mkdir((w.out + "/input.d02").c_str(), 0777);
             WriteFileBytes(w.out + "/input.d02/keep", {1});
             return w.Args({"--data-counts", "2000,3000", w.input});
         },
         1, "cannot rename"},
        {"recovery file's name taken by a folder over an old set: the old set stays whole",
         [](Workspace &w) {
             EXPECT_EQ(RunSplit(w.Args({"--data-counts", "2000,3000", "--set-id", "1111", w.input})).status, 0);
             mkdir((w.out + "/input.d00").c_str(), 0777);
             WriteFileBytes(w.out + "/input.d00/keep", {1});
             return w.Args({"--data-counts", "1000,4000", "--set-id", "2222", "--recovery", w.input});
         },
         1, "cannot rename"},
        {"data counts one byte short", [](Workspace &w) { return w.Args({"--data-counts", "2000,2999", w.input}); }, 1,
         "add up"},
        {"data counts one byte over", [](Workspace &w) { return w.Args({"--data-counts", "2000,3001", w.input}); }, 1,
         "add up"},
        {"data count not a number", [](Workspace &w) { return w.Args({"--data-counts", "2000,x", w.input}); }, 2,
         "not a number"},
        {"data count negative", [](Workspace &w) { return w.Args({"--data-counts", "-1,5001", w.input}); }, 2,
         "not a number"},
        {"later piece file of 1,024 bytes",
         [](Workspace &w) { return w.Args({"--data-counts", "4001,999", w.input}); }, 1, "1,024 bytes or less"},
        {"piece size leaving a last file of 1,024 bytes",
         [](Workspace &w) {
             // The executable takes 5,000 - 999 data bytes; the rest makes 23 + 999 + 2.
             return w.Args({"--piece-size", std::to_string(F + kInputHeader + 4001 + 2), w.input});
         },
         1, "1,024 bytes or less"},
        {"piece size too small for the first header",
         [](Workspace &w) { return w.Args({"--piece-size", std::to_string(F + kInputHeader + 1), w.input}); }, 1,
         "cannot hold"},
        {"piece files of 4 GiB + 500 bytes",
         [](Workspace &w) {
             // Sparse: nothing is read before the refusal.
             int fd = open(w.input.c_str(), O_WRONLY);
             EXPECT_EQ(ftruncate(fd, 9LL << 30), 0);
             close(fd);
             return w.Args({"--piece-size", std::to_string((4LL << 30) + 500), w.input});
         },
         1, "low 32 bits"},
        {"both ways of cutting",
         [](Workspace &w) { return w.Args({"--data-counts", "5000", "--piece-size", "60000", w.input}); }, 2,
         "either"},
        {"garbage before the executable's piece",
         [](Workspace &w) { return w.Args({"--data-counts", "5000", "--garbage", "1:10", w.input}); }, 2,
         "--garbage"},
        {"option naming a piece beyond the set",
         [](Workspace &w) { return w.Args({"--data-counts", "2000,3000", "--bad-crc", "3", w.input}); }, 1,
         "names piece 3"},
        {"end tag as an extra record",
         [](Workspace &w) { return w.Args({"--data-counts", "5000", "--extra-record", "1:0:4", w.input}); }, 2,
         "--extra-record"},
        {"unknown option", [](Workspace &w) { return w.Args({"--data-count", "5000", w.input}); }, 2,
         "unknown option"},
    };
    for (const Refusal &r : kRefusals) {
        SCOPED_TRACE(r.label);
        Workspace w;
        std::vector<std::string> args = r.command(w);
        std::vector<std::string> before = ListFolder(w.out);
        auto contentOf = [&](const std::string &name) {
            return IsFile(w.out + "/" + name) ? ReadFileBytes(w.out + "/" + name) : Bytes();
        };
        std::vector<Bytes> contents;
        for (const std::string &name : before)
            contents.push_back(contentOf(name));
        SplitRun run = RunSplit(args);
        EXPECT_EQ(run.status, r.status) << run.errors;
        EXPECT_NE(run.errors.find(r.message), std::string::npos) << run.errors;
        ASSERT_EQ(ListFolder(w.out), before);
        for (size_t i = 0; i < before.size(); i++)
            EXPECT_TRUE(contents[i] == contentOf(before[i])) << before[i] << " changed";
    }
}

// A split over an old set in the output folder: the old set's files go, also those that
// the restoring side would take for the new set's (a recovery file the new split does not
// write, names that differ only in case), and the new set stands whole. Folders and files
// of other names stay.
TEST(SplitTest, ReplacesAnOldSet)
{
    const struct {
        const char *label;
        std::vector<std::string> oldOptions;
        std::vector<std::pair<std::string, std::string>> renames; // old files renamed before the new split
        std::vector<std::string> newOptions;
        std::vector<std::string> files; // the folder afterwards
    } kRows[] = {
        {"an old recovery file goes with a split without one", {"--recovery"}, {}, {},
         {"input.d02", "input.d03", "input.exe"}},
        {"an old recovery file in capitals goes too", {"--recovery"}, {{"input.d00", "INPUT.D00"}}, {},
         {"input.d02", "input.d03", "input.exe"}},
        {"old files in capitals give way to the new names",
         {"--recovery"},
         {{"input.exe", "INPUT.EXE"}, {"input.d02", "Input.D02"}, {"input.d00", "input.D00"}},
         {"--recovery"},
         {"input.d00", "input.d02", "input.d03", "input.exe"}},
        {"a folder of the recovery file's name stays", {}, {{"", "input.d00"}}, {},
         {"input.d00", "input.d02", "input.d03", "input.exe"}},
    };
    for (const auto &row : kRows) {
        SCOPED_TRACE(row.label);
        Workspace w;
        std::vector<std::string> options = row.oldOptions;
        options.insert(options.end(), {"--data-counts", "4000,1000", "--set-id", "1111", w.input});
        ASSERT_EQ(RunSplit(w.Args(options)).status, 0);
        WriteFileBytes(w.out + "/other.d00", {1});
        for (const auto &rename : row.renames) {
            if (rename.first.empty())
                ASSERT_EQ(mkdir((w.out + "/" + rename.second).c_str(), 0777), 0);
            else
                ASSERT_EQ(::rename((w.out + "/" + rename.first).c_str(), (w.out + "/" + rename.second).c_str()), 0);
        }
        options = row.newOptions;
        options.insert(options.end(), {"--data-counts", "2000,1500,1500", "--set-id", "2222", w.input});
        SplitRun run = RunSplit(w.Args(options));
        ASSERT_EQ(run.status, 0) << run.errors;
        std::vector<std::string> files = row.files;
        files.push_back("other.d00");
        std::sort(files.begin(), files.end());
        EXPECT_EQ(ListFolder(w.out), files);
        SetContents set = ReadSet(w.out + "/input");
        EXPECT_EQ(set.data, w.content);
        EXPECT_EQ(set.setIds, std::vector<std::string>(3, "\x22\x22"));
    }
}

// Every file at most N bytes, every one but the last exactly N, and the set restores.
TEST(SplitTest, PieceSizeFillsEveryFile)
{
    const struct {
        long long pieceSize;
        size_t files;
    } kCases[] = {
        {F + kInputHeader + 2 + 300000, 1}, // the whole input fits the executable
        {100000, 4},                        // 46,703 data bytes, then 99,975, 99,975 and 53,347
        {60000, 6},                         // 6,703, then four of 59,975 and 53,397
        {F + kInputHeader + 2, 7},          // no data in the executable, then five of 53,272 and 33,640
    };
    Bytes content = SomeBytes(300000, 12);
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.pieceSize);
        Workspace w;
        WriteFileBytes(w.input, content);
        SplitRun run = RunSplit(w.Args({"--piece-size", std::to_string(c.pieceSize), w.input}));
        ASSERT_EQ(run.status, 0) << run.errors;
        std::vector<std::string> files = ListFolder(w.out);
        ASSERT_EQ(files.size(), c.files);
        for (size_t i = 0; i < files.size(); i++) {
            long long size = FileSize(w.out + "/" + files[i]);
            // "input.d02" ... sort before "input.exe", which is the last name.
            bool last = i + 2 == files.size();
            if (c.files == 1 || !last)
                EXPECT_EQ(size, c.pieceSize) << files[i];
            else
                EXPECT_LE(size, c.pieceSize) << files[i];
        }
        SetContents set = ReadSet(w.out + "/input");
        EXPECT_EQ(set.data, content);
        EXPECT_EQ(set.checkValuesRight, std::vector<bool>(c.files, true));
        EXPECT_EQ(set.dataCheckRecords, std::vector<int>(c.files, 1));
        EXPECT_EQ(set.dataChecksRight, std::vector<bool>(c.files, true));
    }
}

TEST(SplitTest, DataCountsAreExact)
{
    const std::vector<std::vector<long long>> kCases = {
        {5000},
        {2000, 3000},
        {0, 5000},
        {4000, 1000}, // a piece file of 1,025 bytes, the smallest accepted
        {500, 1500, 1500, 1500},
    };
    for (const std::vector<long long> &counts : kCases) {
        std::string list;
        for (long long count : counts)
            list += (list.empty() ? "" : ",") + std::to_string(count);
        SCOPED_TRACE(list);
        Workspace w;
        SplitRun run = RunSplit(w.Args({"--data-counts", list, w.input}));
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(ListFolder(w.out).size(), counts.size());
        SetContents set = ReadSet(w.out + "/input");
        EXPECT_EQ(set.dataCounts, counts);
        EXPECT_EQ(set.data, w.content);
        EXPECT_EQ(set.dataCheckRecords, std::vector<int>(counts.size(), 1));
        EXPECT_EQ(set.dataChecksRight, std::vector<bool>(counts.size(), true));
    }
}

// Names as the user gives them (the literals here are code page 932 and converted to
// UTF-8 for the command line), checked as the restoring side will use them.
TEST(SplitTest, StoredNameCheck)
{
    const std::string k259 = std::string(255, 'n') + ".txt";
    const struct {
        std::string name;
        bool accepted;
    } kCases[] = {
        {"a/b.txt", false},
        {"a\\b.txt", false},
        {"C:\\x", false},
        {"C:x", false},
        {"..", false},
        {".", false},
        {"", false},
        {"file.txt:stream", false},
        {"tab\there.txt", false},
        {"line\nbreak", false},
        {"CON", false},
        {"con", false},
        {"CON.txt", false},
        {"con.txt", false},
        {"PRN", false},
        {"aux.doc", false},
        {"Nul.tar.gz", false},
        {"NUL .txt", false},
        {"COM1", false},
        {"com1.txt", false},
        {"LPT9", false},
        {"lpt9.log", false},
        {"表.txt", true},
        {"ソフト.doc", true},
        {"予定表 2024.xls", true},
        {k259, true},
        {"archive.tar.gz.part", true},
        {".hidden", true},
        {"CONSOLE.txt", true},
        {"COM10", true},
        {"nul_not.txt", true},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        SplitRun run = RunSplit(w.Args({"--data-counts", "5000", "--name", Utf8FromCp932(c.name), w.input}));
        if (!c.accepted) {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.errors.find("not a plain file name"), std::string::npos) << run.errors;
            EXPECT_TRUE(ListFolder(w.out).empty());
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(ReadSet(w.out + "/input").name, c.name);
    }
}

// Characters that the C library writes in code page 932 as another character, which the
// restoring side would then show and create instead: a yen sign becomes the backslash, a
// wave dash reads back as a fullwidth tilde. Such a name is refused with a pointer to
// --name, as Windows refuses it, and nothing is written.
TEST(SplitTest, NameWithoutAnExactFormInCodePage932IsRefused)
{
    const struct {
        const char *label;
        const char *name;
    } cases[] = {
        {"yen sign", "a\xC2\xA5" "b.txt"},
        {"wave dash", "a\xE3\x80\x9C" "b.txt"},
    };
    for (const auto &c : cases) {
        Workspace w;
        SplitRun run = RunSplit(w.Args({"--data-counts", "5000", "--name", c.name, w.input}));
        EXPECT_EQ(run.status, 1) << c.label;
        EXPECT_NE(run.errors.find("cannot be written in code page 932"), std::string::npos) << c.label << run.errors;
        EXPECT_NE(run.errors.find("--name"), std::string::npos) << c.label << run.errors;
        EXPECT_TRUE(ListFolder(w.out).empty()) << c.label;
    }
}

// Without --name, --base and --time: the stored name is the input's file name, the set is
// named after it without its extension, and the time stamp is its last-write time in UTC.
TEST(SplitTest, DefaultsComeFromTheInput)
{
    Workspace w;
    std::string folder = w.dir.MakeFolder(Utf8FromCp932("資料"));
    std::string input = folder + "/" + Utf8FromCp932("予定表.tar.gz");
    WriteFileBytes(input, w.content);
    struct timeval times[2] = {{1710510330, 0}, {1710510330, 0}}; // 2024-03-15 13:45:30 UTC
    ASSERT_EQ(utimes(input.c_str(), times), 0);
    SplitRun run = RunSplit(w.Args({"--data-counts", "5000", input}));
    ASSERT_EQ(run.status, 0) << run.errors;
    std::string base = w.out + "/" + Utf8FromCp932("予定表.tar");
    EXPECT_EQ(ListFolder(w.out), std::vector<std::string>{Utf8FromCp932("予定表.tar.exe")});
    OpenedFile file(base + ".exe");
    FirstPieceHeader header;
    ASSERT_TRUE(ReadFirstPieceHeader(file.Handle(), &header));
    EXPECT_STREQ(header.name, "予定表.tar.gz");
    EXPECT_EQ(header.year, 2024);
    EXPECT_EQ(header.packedTime, 14605150u);
}

// A stub shorter than the first-piece offset is padded with zero bytes up to it.
TEST(SplitTest, ShortStubIsPadded)
{
    Workspace w;
    WriteFileBytes(w.stub, Bytes(1000, 'S'));
    SplitRun run = RunSplit(w.Args({"--data-counts", "5000", w.input}));
    ASSERT_EQ(run.status, 0) << run.errors;
    Bytes exe = ReadFileBytes(w.out + "/input.exe");
    ASSERT_GT(exe.size(), (size_t)F);
    EXPECT_EQ(Bytes(exe.begin(), exe.begin() + 1000), Bytes(1000, 'S'));
    EXPECT_EQ(Bytes(exe.begin() + 1000, exe.begin() + F), Bytes((size_t)F - 1000, 0));
    EXPECT_EQ(ReadSet(w.out + "/input").data, w.content);
}

// Without --stub, a copy of the program in PREFIX/bin takes PREFIX/share/parcelon/
// PnRestore.exe (as from an unpacked package); --stub wins over it; with neither it
// refuses, and never reaches back into the build tree it was built in.
TEST(SplitTest, StubLookup)
{
    const struct {
        const char *label;
        bool installed;
        bool given;
        int status;
        char stubByte; // what the executable then starts with
    } kCases[] = {
        {"installed stub", true, false, 0, 'I'},
        {"--stub wins over the installed stub", true, true, 0, 'G'},
        {"no stub at all", false, false, 1, 0},
    };
    const size_t kStubBytes = 1000;
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.label);
        Workspace w;
        std::string bin = w.dir.MakeFolder("prefix") + "/bin";
        ASSERT_EQ(mkdir(bin.c_str(), 0777), 0);
        std::string program = bin + "/parcelon-split";
        WriteFileBytes(program, ReadFileBytes(PARCELON_SPLIT));
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
        if (c.installed) {
            std::string share = w.dir.File("prefix/share");
            ASSERT_EQ(mkdir(share.c_str(), 0777), 0);
            ASSERT_EQ(mkdir((share + "/parcelon").c_str(), 0777), 0);
            WriteFileBytes(share + "/parcelon/PnRestore.exe", Bytes(kStubBytes, 'I'));
        }
        WriteFileBytes(w.stub, Bytes(kStubBytes, 'G'));
        std::vector<std::string> args = {"--out", w.out, "--data-counts", "5000", w.input};
        if (c.given)
            args.insert(args.begin(), {"--stub", w.stub});
        SplitRun run = RunSplit(args, program);
        ASSERT_EQ(run.status, c.status) << run.errors;
        if (c.status != 0) {
            EXPECT_NE(run.errors.find("no stub"), std::string::npos) << run.errors;
            EXPECT_NE(run.errors.find("--stub STUB"), std::string::npos) << run.errors;
            EXPECT_TRUE(ListFolder(w.out).empty());
            continue;
        }
        Bytes exe = ReadFileBytes(w.out + "/input.exe");
        ASSERT_GT(exe.size(), kStubBytes);
        EXPECT_EQ(std::count(exe.begin(), exe.begin() + kStubBytes, c.stubByte), (long)kStubBytes);
    }
}

// The options that make a set malformed do exactly the one thing they name.
TEST(SplitTest, MalformedSets)
{
    Workspace w;
    SplitRun run = RunSplit(w.Args({"--data-counts", "1000,2000,2000", "--set-id", "1A2B", "--set-id-for", "3=BEEF",
                                    "--bad-crc", "2", "--garbage", "3:3000", "--bad-data-check", "3", w.input}));
    ASSERT_EQ(run.status, 0) << run.errors;
    SetContents set = ReadSet(w.out + "/input");
    EXPECT_EQ(set.data, w.content);
    EXPECT_EQ(set.setIds, std::vector<std::string>({"\x1A\x2B", "\x1A\x2B", "\xBE\xEF"}));
    EXPECT_EQ(set.checkValuesRight, std::vector<bool>({true, false, true}));
    EXPECT_EQ(set.dataCheckRecords, std::vector<int>({1, 1, 1}));
    EXPECT_EQ(set.dataChecksRight, std::vector<bool>({true, true, false}));
    Bytes third = ReadFileBytes(w.out + "/input.d03");
    EXPECT_EQ(MarkerOffset(third), 3000);
    EXPECT_EQ(std::count(third.begin(), third.begin() + 3000, 0), 0);

    // Sets as they were made before the data-check record: the same data, no record.
    Workspace old;
    run = RunSplit(old.Args({"--data-counts", "1000,2000,2000", "--no-data-check", old.input}));
    ASSERT_EQ(run.status, 0) << run.errors;
    set = ReadSet(old.out + "/input");
    EXPECT_EQ(set.data, old.content);
    EXPECT_EQ(set.checkValuesRight, std::vector<bool>({true, true, true}));
    EXPECT_EQ(set.dataCheckRecords, std::vector<int>({0, 0, 0}));
}

// The record goes into every piece whatever else its header holds, and the pieces are the
// same bytes with or without a recovery file.
TEST(SplitTest, DataCheckRecordWithOtherRecords)
{
    const std::vector<std::string> kOptions = {"--data-counts", "0,3000,2000", "--set-id", "1A2B", "--time",
                                               "2024-03-15T13:45:30", "--second-name", "other.bin",
                                               "--extra-record", "2:9:300", "--length-int", "200",
                                               "--garbage", "2:1500"};
    Workspace plain, withRecovery;
    std::vector<std::string> options = kOptions;
    options.push_back(plain.input);
    ASSERT_EQ(RunSplit(plain.Args(options)).status, 0);
    options = kOptions;
    options.insert(options.end(), {"--recovery", withRecovery.input});
    ASSERT_EQ(RunSplit(withRecovery.Args(options)).status, 0);
    SetContents set = ReadSet(plain.out + "/input");
    EXPECT_EQ(set.data, plain.content);
    EXPECT_EQ(set.dataCheckRecords, std::vector<int>({1, 1, 1}));
    EXPECT_EQ(set.dataChecksRight, std::vector<bool>({true, true, true}));
    for (const char *file : {"input.exe", "input.d02", "input.d03"})
        EXPECT_TRUE(ReadFileBytes(plain.out + "/" + file) == ReadFileBytes(withRecovery.out + "/" + file)) << file;
}

} // namespace
