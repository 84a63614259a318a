// tests/piece_test.cpp: the two piece header reads over sets made by parcelon-split and
// over headers made by the writer or by hand, the check value and the name check.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include "format/crc16.h"
#include "format/piece.h"
#include "format/piecewrite.h"
#include "format/varint.h"
#include "support/support.h"

namespace {

const long long F = kFirstPieceOffset;
const long long kShortLimit = 0x80000000LL;

// Splits content, stored as inputName, into dir/set/set.exe, set.d02, ... with set
// identifier AB CD and the time stamp 2024-03-15 13:45:30 unless the options say
// otherwise, and without the data-check record, so that the headers are laid out as in
// the format's worked example (split_test reads the record back). Returns the path
// without extension.
std::string Split(const TempDir &dir, const std::string &inputName, const Bytes &content,
                  const std::vector<std::string> &options)
{
    std::string input = dir.File(inputName);
    WriteFileBytes(input, content);
    std::string out = dir.File("set");
    mkdir(out.c_str(), 0777);
    std::vector<std::string> args = {"--stub", MakeStub(dir), "--out", out, "--base", "set", "--set-id", "ABCD",
                                     "--no-data-check"};
    bool timeGiven = false;
    for (const std::string &option : options)
        timeGiven = timeGiven || option == "--time" || option == "--no-time";
    if (!timeGiven)
        args.insert(args.end(), {"--time", "2024-03-15T13:45:30"});
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(input);
    SplitRun run = RunSplit(args);
    EXPECT_EQ(run.status, 0) << run.errors;
    return out + "/set";
}

struct FirstRead {
    BOOL ok;
    FirstPieceHeader header;
    long long headerLength;
};

FirstRead ReadFirst(const std::string &path)
{
    OpenedFile file(path);
    FirstRead read;
    read.ok = ReadFirstPieceHeader(file.Handle(), &read.header);
    read.headerLength = file.Position() - F;
    return read;
}

struct LaterRead {
    BOOL ok;
    LaterPieceHeader header;
    long long headerLength;
};

// Reads a later piece header whose marker starts the file.
LaterRead ReadLater(const std::string &path)
{
    OpenedFile file(path);
    file.Seek(kPieceMarkerLength);
    LaterRead read;
    ReadLaterPieceStart(file.Handle(), &read.header);
    read.ok = ReadLaterPieceRecords(file.Handle(), &read.header);
    read.headerLength = file.Position();
    return read;
}

// The data of a piece, file[dataStart, dataStart + count), are content[contentStart, ...)
// and followed by their CRC, low byte first, which ReadCheckValue reads back.
void ExpectPieceData(const std::string &path, long long dataStart, long long count, const Bytes &content,
                     long long contentStart)
{
    Bytes file = ReadFileBytes(path);
    ASSERT_EQ((long long)file.size(), dataStart + count + 2) << path;
    EXPECT_TRUE(std::equal(file.begin() + dataStart, file.begin() + dataStart + count, content.begin() + contentStart))
        << path;
    WORD crc = Crc16Compute(0, content.data() + contentStart, (size_t)count);
    OpenedFile opened(path);
    opened.Seek(dataStart + count);
    EXPECT_EQ(ReadCheckValue(opened.Handle()), crc) << path;
}

Bytes Slice(const Bytes &bytes, size_t from, size_t count)
{
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

TEST(PieceTest, WorkedExample)
{
    TempDir dir;
    Bytes content = SomeBytes(5000, 1);
    std::string set = Split(dir, "sample.txt", content, {"--data-counts", "2000,3000"});
    Bytes exe = ReadFileBytes(set + ".exe"), later = ReadFileBytes(set + ".d02");
    ASSERT_EQ(exe.size(), 55288u);
    ASSERT_EQ(later.size(), 3015u);
    EXPECT_EQ(Slice(exe, 0, F), ReadFileBytes(dir.File("stub.bin")));

    // The two bytes the stub never reads may hold anything; the rest is fixed.
    Bytes header = Slice(exe, F, 38);
    header[5] = header[10] = 0xEE;
    Bytes expected = BytesOf("-PQ3-");
    Bytes rest = {0xEE, 0x00, 0x00, 0x13, 0x88, 0xEE, 0x00, 0x00, 0x07, 0xF6, 0xAB, 0xCD, 0x01, 0x0A};
    expected.insert(expected.end(), rest.begin(), rest.end());
    Bytes name = BytesOf("sample.txt");
    expected.insert(expected.end(), name.begin(), name.end());
    Bytes stamp = {0x03, 0x06, 0xE8, 0x07, 0x5E, 0xDB, 0xDE, 0x00, 0x00};
    expected.insert(expected.end(), stamp.begin(), stamp.end());
    EXPECT_EQ(header, expected);

    Bytes laterHeader = Slice(later, 0, 13);
    EXPECT_LT(laterHeader[11], 0x80);
    laterHeader[11] = 0xEE;
    EXPECT_EQ(laterHeader, Bytes({'-', 'P', 'Q', '3', '-', 0x00, 0x00, 0x0B, 0xC5, 0xAB, 0xCD, 0xEE, 0x00}));

    FirstRead first = ReadFirst(set + ".exe");
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.header.totalSize, 5000);
    EXPECT_EQ(first.header.pieceLength, 2038);
    EXPECT_EQ(first.headerLength, 38);
    EXPECT_EQ(memcmp(first.header.setId, "\xAB\xCD", 2), 0);
    EXPECT_STREQ(first.header.name, "sample.txt");
    EXPECT_EQ(first.header.year, 2024);
    EXPECT_EQ(first.header.packedTime, 14605150u);
    ExpectPieceData(set + ".exe", F + 38, 2000, content, 0);

    LaterRead second = ReadLater(set + ".d02");
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(second.header.pieceLength, 3013);
    EXPECT_EQ(second.header.remaining, 3000);
    EXPECT_EQ(second.headerLength, 13);
    EXPECT_EQ(memcmp(second.header.setId, "\xAB\xCD", 2), 0);
    ExpectPieceData(set + ".d02", 13, 3000, content, 2000);
}

// Header bytes of a later piece with no records: marker, piece length, AB CD, length
// integer 0, end tag.
Bytes LaterHeaderBytes(const Bytes &pieceLength)
{
    Bytes bytes = BytesOf("-PQ3-");
    bytes.insert(bytes.end(), pieceLength.begin(), pieceLength.end());
    bytes.insert(bytes.end(), {0xAB, 0xCD, 0x00, 0x00});
    return bytes;
}

Bytes WrittenLaterHeader(long long dataCount)
{
    BYTE out[64];
    LaterPieceFields fields = {};
    fields.dataCount = dataCount;
    fields.setId[0] = 0xAB;
    fields.setId[1] = 0xCD;
    long long pieceLength = 0;
    int length = BuildLaterPieceHeader(out, sizeof out, &fields, &pieceLength);
    EXPECT_GT(length, 0);
    return Bytes(out, out + std::max(length, 0));
}

// A self-restoring executable of zero bytes and a first piece header without its data.
Bytes WrittenFirstPiece(long long totalSize, long long dataCount)
{
    BYTE out[64];
    FirstPieceFields fields = {};
    fields.totalSize = totalSize;
    fields.dataCount = dataCount;
    fields.name = "a";
    fields.nameLength = 1;
    long long pieceLength = 0;
    int length = BuildFirstPieceHeader(out, sizeof out, &fields, &pieceLength);
    EXPECT_GT(length, 0);
    const size_t headerLength = (size_t)std::max(length, 0);
    Bytes bytes((size_t)F + headerLength, 0);
    std::copy(out, out + headerLength, bytes.begin() + F);
    return bytes;
}

// A piece length counts its own width: 4 bytes below 2^31, 8 from there on. Headers
// without their gigabytes of data are enough to check both the writer and the reads.
TEST(PieceTest, PieceLengthAtTheWidthLimit)
{
    const struct {
        const char *label;
        bool first;
        Bytes file;
        long long pieceLength;
        long long headerLength;
        long long dataCount;
    } kCases[] = {
        {"later, by hand, 2^31-1", false, LaterHeaderBytes({0x7F, 0xFF, 0xFF, 0xFF}), kShortLimit - 1, 13,
         kShortLimit - 1 - 13},
        {"later, by hand, 2^31", false, LaterHeaderBytes({0x80, 0, 0, 0, 0, 0, 0, 0}), kShortLimit, 17,
         kShortLimit - 17},
        {"later, by hand, 3,000,000,017", false, LaterHeaderBytes({0x80, 0, 0, 0, 0x32, 0xD0, 0x5E, 0x11}),
         3000000017LL, 17, 3000000000LL},
        {"later, written, largest short form", false, WrittenLaterHeader(kShortLimit - 1 - 13), kShortLimit - 1, 13,
         kShortLimit - 1 - 13},
        {"later, written, smallest long form", false, WrittenLaterHeader(kShortLimit - 13), kShortLimit + 4, 17,
         kShortLimit - 13},
        {"later, written, 3,000,000,000 data bytes", false, WrittenLaterHeader(3000000000LL), 3000000017LL, 17,
         3000000000LL},
        // Total size 5 GiB takes 8 bytes: the header is 25 bytes with a short piece length.
        {"first, written, largest short form", true, WrittenFirstPiece(5368709120LL, kShortLimit - 1 - 25),
         kShortLimit - 1, 25, kShortLimit - 1 - 25},
        {"first, written, smallest long form", true, WrittenFirstPiece(5368709120LL, kShortLimit - 25),
         kShortLimit + 4, 29, kShortLimit - 25},
    };
    TempDir dir;
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.label);
        std::string path = dir.File("piece");
        WriteFileBytes(path, c.file);
        if (c.first) {
            FirstRead read = ReadFirst(path);
            ASSERT_TRUE(read.ok);
            EXPECT_EQ(read.header.totalSize, 5368709120LL);
            EXPECT_EQ(read.header.pieceLength, c.pieceLength);
            EXPECT_EQ(read.headerLength, c.headerLength);
            EXPECT_EQ(read.header.pieceLength - read.headerLength, c.dataCount);
        } else {
            LaterRead read = ReadLater(path);
            ASSERT_TRUE(read.ok);
            EXPECT_EQ(read.header.pieceLength, c.pieceLength);
            EXPECT_EQ(read.headerLength, c.headerLength);
            EXPECT_EQ(read.header.remaining, c.dataCount);
        }
    }
    EXPECT_EQ(WrittenLaterHeader(3000000000LL),
              LaterHeaderBytes({0x80, 0x00, 0x00, 0x00, 0x32, 0xD0, 0x5E, 0x11}));
}

// A data-check record of eight filler bytes, parcelon-split's 'x', read little-endian.
const Crc64 kFillerCheck = 0x7878787878787878ULL;

// Sets of 5,000 bytes in pieces of 2,000 and 3,000 with extra header contents: both reads
// count every header byte, take the name and time stamp from the first piece only, and
// stand at the first data byte.
TEST(PieceTest, HeaderRecordsAreCountedAndSkipped)
{
    const struct {
        const char *label;
        std::vector<std::string> options;
        const char *name;
        WORD year;
        long long firstHeader;
        long long laterHeader;
        BOOL dataCheck = FALSE; // both pieces hold a data-check record (of filler bytes)
    } kCases[] = {
        {"no extras", {}, "sample.txt", 2024, 38, 13},
        {"no time stamp", {"--no-time"}, "sample.txt", 0, 30, 13},
        {"two-byte record lengths", {"--extra-record", "1:9:200", "--extra-record", "2:9:300"}, "sample.txt", 2024,
         38 + 203, 13 + 303},
        {"record lengths 127 and 128", {"--extra-record", "2:9:127", "--extra-record", "2:9:128"}, "sample.txt", 2024,
         38, 13 + 129 + 131},
        {"the largest record length", {"--extra-record", "2:9:32895"}, "sample.txt", 2024, 38, 13 + 32898},
        {"two-byte length integer", {"--length-int", "200"}, "sample.txt", 2024, 38, 14},
        {"length integer 127", {"--length-int", "127"}, "sample.txt", 2024, 38, 13},
        {"unknown tags", {"--extra-record", "1:7:5", "--extra-record", "2:200:10", "--extra-record", "2:255:0"},
         "sample.txt", 2024, 38 + 7, 13 + 12 + 2},
        {"a second name record wins", {"--second-name", "other.txt"}, "other.txt", 2024, 38 + 11, 13},
        {"name and time stamp in a later piece", {"--extra-record", "2:1:20", "--extra-record", "2:3:6"}, "sample.txt",
         2024, 38, 13 + 22 + 8},
        // The data-check record is kept in either piece; one of another length is skipped.
        {"data-check records", {"--extra-record", "1:64:8", "--extra-record", "2:64:8"}, "sample.txt", 2024, 38 + 10,
         13 + 10, TRUE},
        {"data-check tag with another length", {"--extra-record", "1:64:7", "--extra-record", "2:64:9"}, "sample.txt",
         2024, 38 + 9, 13 + 11},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        Bytes content = SomeBytes(5000, 2);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--data-counts", "2000,3000"});
        std::string set = Split(dir, "sample.txt", content, options);

        FirstRead first = ReadFirst(set + ".exe");
        ASSERT_TRUE(first.ok);
        EXPECT_STREQ(first.header.name, c.name);
        EXPECT_EQ(first.header.year, c.year);
        EXPECT_EQ(first.header.packedTime, c.year ? 14605150u : 0u);
        EXPECT_EQ(first.headerLength, c.firstHeader);
        EXPECT_EQ(first.header.pieceLength - first.headerLength, 2000);
        EXPECT_EQ(first.header.hasDataCheck, c.dataCheck);
        EXPECT_EQ(first.header.dataCheck, c.dataCheck ? kFillerCheck : 0);
        ExpectPieceData(set + ".exe", F + c.firstHeader, 2000, content, 0);

        LaterRead later = ReadLater(set + ".d02");
        ASSERT_TRUE(later.ok);
        EXPECT_EQ(later.headerLength, c.laterHeader);
        EXPECT_EQ(later.header.remaining, 3000);
        EXPECT_EQ(later.header.hasDataCheck, c.dataCheck);
        EXPECT_EQ(later.header.dataCheck, c.dataCheck ? kFillerCheck : 0);
        ExpectPieceData(set + ".d02", c.laterHeader, 3000, content, 2000);
    }
}

TEST(PieceTest, NameRecordOfAtMost259Bytes)
{
    for (size_t length : {259u, 260u}) {
        SCOPED_TRACE(length);
        TempDir dir;
        std::string hex;
        for (size_t i = 0; i < length; i++)
            hex += "61";
        std::string set = Split(dir, "sample.txt", SomeBytes(100, 3), {"--data-counts", "100", "--name-bytes", hex});
        FirstRead read = ReadFirst(set + ".exe");
        EXPECT_EQ(read.ok, length <= 259 ? TRUE : FALSE);
        if (read.ok) {
            EXPECT_EQ(std::string(read.header.name), std::string(length, 'a'));
        }
    }
}

// A header field and where it lies: [start, start + width) from the first marker byte.
struct Field {
    const char *label;
    long long start;
    long long width;
};

// A header cut at every offset inside it: the reads never get to the end tag, so the
// first piece is damaged and a later piece truncated; the fields that arrived whole keep
// their values and the set identifier bytes that did not arrive read as zero.
TEST(PieceTest, HeaderCutShortAnywhere)
{
    TempDir dir;
    std::string set = Split(dir, "sample.txt", SomeBytes(5000, 4),
                            {"--data-counts", "2000,3000", "--extra-record", "1:9:200", "--extra-record", "2:9:130",
                             "--length-int", "200"});
    const Field kFirstFields[] = {
        {"marker", 0, 5},
        {"byte after the marker", 5, 1},
        {"total size", 6, 4},
        {"byte after the total size", 10, 1},
        {"piece length", 11, 4},
        {"set identifier", 15, 2},
        {"name record tag and length", 17, 2},
        {"name", 19, 10},
        {"time-stamp record tag and length", 29, 2},
        {"year and packed time", 31, 6},
        {"extra record tag", 37, 1},
        {"extra record's two-byte length", 38, 2},
        {"extra record payload", 40, 200},
        {"end tag", 240, 1},
    };
    Bytes exe = ReadFileBytes(set + ".exe");
    std::string cutPath = dir.File("cut");
    for (const Field &field : kFirstFields) {
        for (long long cut = field.start; cut < field.start + field.width; cut++) {
            SCOPED_TRACE(std::string("first piece cut in the ") + field.label + " at " + std::to_string(cut));
            WriteFileBytes(cutPath, Slice(exe, 0, (size_t)(F + cut)));
            FirstRead read = ReadFirst(cutPath);
            EXPECT_FALSE(read.ok);
            EXPECT_EQ(read.header.totalSize, cut >= 10 ? 5000 : -1);
            EXPECT_EQ(read.header.setId[0], cut > 15 ? 0xAB : 0);
            EXPECT_EQ(read.header.setId[1], cut > 16 ? 0xCD : 0);
        }
    }
    WriteFileBytes(cutPath, Slice(exe, 0, (size_t)(F + 241)));
    FirstRead whole = ReadFirst(cutPath);
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.headerLength, 241);

    const Field kLaterFields[] = {
        {"piece length", 5, 4},
        {"set identifier", 9, 2},
        {"two-byte length integer", 11, 2},
        {"record tag", 13, 1},
        {"record's two-byte length", 14, 2},
        {"record payload", 16, 130},
        {"end tag", 146, 1},
    };
    Bytes later = ReadFileBytes(set + ".d02");
    for (const Field &field : kLaterFields) {
        for (long long cut = field.start; cut < field.start + field.width; cut++) {
            SCOPED_TRACE(std::string("later piece cut in the ") + field.label + " at " + std::to_string(cut));
            WriteFileBytes(cutPath, Slice(later, 0, (size_t)cut));
            LaterRead read = ReadLater(cutPath);
            EXPECT_FALSE(read.ok);
            EXPECT_EQ(read.header.pieceLength, cut >= 9 ? 3147 : -1);
            EXPECT_EQ(read.header.setId[0], cut > 9 ? 0xAB : 0);
            EXPECT_EQ(read.header.setId[1], cut > 10 ? 0xCD : 0);
        }
    }
    WriteFileBytes(cutPath, Slice(later, 0, 147));
    LaterRead laterWhole = ReadLater(cutPath);
    EXPECT_TRUE(laterWhole.ok);
    EXPECT_EQ(laterWhole.header.remaining, 3000);
}

TEST(PieceTest, CheckValue)
{
    TempDir dir;
    std::string set = Split(dir, "abc.txt", BytesOf("abc"), {"--data-counts", "3"});
    Bytes exe = ReadFileBytes(set + ".exe");
    ASSERT_GE(exe.size(), 2u);
    EXPECT_EQ(Slice(exe, exe.size() - 2, 2), Bytes({0xD6, 0x9D}));

    // Bytes behind the check value change nothing; a check value cut to its low byte
    // reads with a zero high byte.
    FirstRead read = ReadFirst(set + ".exe");
    ASSERT_TRUE(read.ok);
    std::string path = dir.File("variant");
    Bytes longer = exe;
    longer.insert(longer.end(), {'-', 'P', 'Q', '3', '-', 0xFF});
    WriteFileBytes(path, longer);
    FirstRead again = ReadFirst(path);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.header.pieceLength, read.header.pieceLength);
    EXPECT_EQ(again.headerLength, read.headerLength);
    WriteFileBytes(path, Slice(exe, 0, exe.size() - 1));
    OpenedFile cut(path);
    cut.Seek((long long)exe.size() - 2);
    EXPECT_EQ(ReadCheckValue(cut.Handle()), 0x00D6);
}

// Stored names as raw bytes, including ones only a hostile set carries.
TEST(PieceTest, PlainFileNames)
{
    const struct {
        const char *label;
        const char *name;
        BOOL plain;
    } kCases[] = {
        {"ordinary", "report.doc", TRUE},
        {"0x5C as a trail byte", "\x95\x5C.txt", TRUE},
        {"double-byte at the end", "a\x83\x5C", TRUE},
        {"backslash", "a\\b", FALSE},
        {"lead byte before a slash", "a\x81/..", FALSE},
        {"lead byte before a colon", "C\x81:x", FALSE},
        {"lead byte before a control byte", "a\x81\x01", FALSE},
        {"lead byte before 0x7F", "a\x81\x7F", FALSE},
        {"lead byte at the end", "abc\x81", FALSE},
        {"device before blanks and a dot", "NUL .txt", FALSE},
        {"device before a blank", "con ", FALSE},
        {"device with a double-byte stem after it", "CON\x95\x5C", TRUE},
    };
    for (const auto &c : kCases)
        EXPECT_EQ(IsPlainFileName(c.name), c.plain) << c.label;
}

} // namespace
