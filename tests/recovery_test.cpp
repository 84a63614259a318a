// tests/recovery_test.cpp: the recovery file that parcelon-split --recovery writes, read
// back by the restoring side's header read and checked byte by byte against the input.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include "format/crc64.h"
#include "format/gf16.h"
#include "format/piecewrite.h"
#include "format/recovery.h"
#include "support/support.h"

namespace {

// The field's product worked out bit by bit, beside the tables of format/gf16.
WORD SlowMultiply(WORD a, WORD b)
{
    DWORD product = 0, v = a;
    for (int bit = 0; bit < 16; bit++, v <<= 1) {
        if (v & 0x10000)
            v ^= 0x1100B;
        if (b >> bit & 1)
            product ^= v;
    }
    return (WORD)product;
}

// a^-1 as a^(65534), bit by bit.
WORD SlowInverse(WORD a)
{
    WORD result = 1;
    for (int i = 0; i < 65534; i++)
        result = SlowMultiply(result, a);
    return result;
}

TEST(Gf16, FieldIdentities)
{
    Gf16Build();
    for (DWORD a = 1; a < 65536; a++)
        ASSERT_EQ(Gf16Multiply((WORD)a, Gf16Divide(1, (WORD)a)), 1) << a;
    unsigned seed = 7;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245 + 12345;
        const WORD a = (WORD)(seed >> 8), b = (WORD)(seed >> 16 ^ seed << 3);
        ASSERT_EQ(Gf16Multiply(a, b), SlowMultiply(a, b)) << a << " * " << b;
    }
    // Row 0 is the XOR; a later row's coefficient is the Cauchy one scaled by row 0's.
    for (LONG piece : {0, 1, 254, 255, 256, 1000, 65519}) {
        EXPECT_EQ(Gf16Coefficient(0, piece), 1);
        for (int row : {1, 15})
            EXPECT_EQ(Gf16Coefficient(row, piece),
                      SlowMultiply((WORD)(0xFFFF ^ piece), SlowInverse((WORD)((0xFFFF - row) ^ piece))));
    }
    // Any square part of the code's rows inverts, and the inverse is one.
    const int kSize = 5;
    const LONG pieces[kSize] = {0, 3, 299, 300, 65000};
    WORD m[kSize * kSize], inverse[kSize * kSize], work[kSize * kSize];
    for (int r = 0; r < kSize; r++)
        for (int c = 0; c < kSize; c++)
            m[r * kSize + c] = inverse[r * kSize + c] = Gf16Coefficient(r * 3, pieces[c]);
    ASSERT_TRUE(Gf16Invert(inverse, work, kSize));
    for (int r = 0; r < kSize; r++)
        for (int c = 0; c < kSize; c++) {
            WORD sum = 0;
            for (int k = 0; k < kSize; k++)
                sum ^= Gf16Multiply(m[r * kSize + k], inverse[k * kSize + c]);
            EXPECT_EQ(sum, r == c ? 1 : 0) << r << "," << c;
        }
    // A run of symbols, from an odd address and of a length that leaves a tail, both ways
    // and long enough for the product tables, against the products one by one.
    for (size_t count : {(size_t)998, (size_t)40002}) {
        Bytes from(count + 1), expected(count + 1, 0x5A);
        for (size_t i = 0; i < from.size(); i++)
            from[i] = (BYTE)(i * 131 + (i >> 7));
        for (size_t i = 1; i + 1 < from.size(); i += 2) {
            const WORD p = SlowMultiply(0x8D3B, (WORD)(from[i] | from[i + 1] << 8));
            expected[i] ^= (BYTE)p;
            expected[i + 1] ^= (BYTE)(p >> 8);
        }
        Bytes shuffled(count + 1, 0x5A), plain(count + 1, 0x5A);
        Gf16MultiplyAdd(shuffled.data() + 1, from.data() + 1, count, 0x8D3B);
        Gf16MultiplyAddPlain(plain.data() + 1, from.data() + 1, count, 0x8D3B);
        EXPECT_TRUE(shuffled == expected) << count;
        EXPECT_TRUE(plain == expected) << count;
    }
    WORD twice[4] = {1, 2, 1, 2};
    EXPECT_FALSE(Gf16Invert(twice, work, 2));
}

unsigned long long Le(const Bytes &b, size_t at, int width)
{
    unsigned long long v = 0;
    for (int i = width - 1; i >= 0; i--)
        v = v << 8 | b[at + i];
    return v;
}

// One set per row, written with --recovery; then the file as written, or with one change.
TEST(RecoveryTest, ReadsBackWhatTheSplitterWrote)
{
    enum Change { kNone, kFlipHeaderByte, kFlipNameByte, kFlipTableByte, kCutLastByte, kFlipParityByte, kHugeSizes };
    const struct {
        const char *label;
        std::vector<long long> counts;
        std::vector<std::string> options;
        Change change;
        BOOL readable;
        const char *name;
    } kRows[] = {
        {"one piece", {3000}, {}, kNone, TRUE, "data.bin"},
        {"longest piece in the middle", {2000, 5000, 1100}, {}, kNone, TRUE, "data.bin"},
        {"an empty first piece, no time stamp", {0, 4096, 4095}, {"--no-time"}, kNone, TRUE, "data.bin"},
        {"a second name counts", {3000, 3000}, {"--second-name", "other.bin"}, kNone, TRUE, "other.bin"},
        // Three rows, the longest count odd: the later rows hold whole symbols; long pieces
        // and short ones (worked out by product tables and by logs).
        {"three recovery files", {20001, 30001, 1100, 1203}, {"--recovery=3"}, kNone, TRUE, "data.bin"},
        {"the version changed", {2000, 2000}, {}, kFlipHeaderByte, FALSE, "data.bin"},
        {"the name changed", {2000, 2000}, {}, kFlipNameByte, FALSE, "data.bin"},
        {"a table entry changed", {2000, 2000}, {}, kFlipTableByte, FALSE, "data.bin"},
        {"the table cut short", {2000, 2000}, {}, kCutLastByte, FALSE, "data.bin"},
        // The header read does not read the parity data; the rebuild checks them.
        {"a parity byte changed", {2000, 2000}, {}, kFlipParityByte, TRUE, "data.bin"},
        // A hostile header: sizes that would carry the table's offset past the signed range.
        {"total and parity lengths near the largest size", {2000, 2000}, {}, kHugeSizes, FALSE, "data.bin"},
    };
    for (const auto &row : kRows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        long long total = 0;
        std::string list;
        for (long long count : row.counts) {
            total += count;
            list += (list.empty() ? "" : ",") + std::to_string(count);
        }
        Bytes input = SomeBytes((size_t)total, (unsigned)total);
        WriteFileBytes(dir.File("data.bin"), input);
        std::string out = dir.MakeFolder("set");
        std::vector<std::string> args = {"--stub", MakeStub(dir), "--out", out, "--base", "set", "--set-id", "ABCD",
                                         "--data-counts", list, "--recovery"};
        bool noTime = false;
        for (const std::string &option : row.options)
            noTime = noTime || option == "--no-time";
        if (!noTime)
            args.insert(args.end(), {"--time", "2024-03-15T13:45:30"});
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(dir.File("data.bin"));
        SplitRun run = RunSplit(args);
        ASSERT_EQ(run.status, 0) << run.errors;

        // The parity data and the table, worked out here from the input.
        long long longest = 0;
        for (long long count : row.counts)
            longest = std::max(longest, count);
        Bytes parity((size_t)longest, 0);
        std::vector<Crc64> crcs;
        long long at = 0;
        for (long long count : row.counts) {
            for (long long i = 0; i < count; i++)
                parity[(size_t)i] ^= input[(size_t)(at + i)];
            crcs.push_back(Crc64Compute(0, input.data() + at, (size_t)count));
            at += count;
        }
        std::string path = out + "/set.d00";
        Bytes file = ReadFileBytes(path);
        size_t tableAt = (size_t)kRecoveryParityOffset + (size_t)longest;
        ASSERT_EQ(file.size(), tableAt + row.counts.size() * kRecoveryEntrySize);
        EXPECT_TRUE(Bytes(file.begin() + kRecoveryParityOffset, file.begin() + (long)tableAt) == parity);
        for (size_t i = 0; i < row.counts.size(); i++) {
            EXPECT_EQ((long long)Le(file, tableAt + i * 16, 8), row.counts[i]) << "piece " << i + 1;
            EXPECT_EQ(Le(file, tableAt + i * 16 + 8, 8), crcs[i]) << "piece " << i + 1;
        }
        // The later rows, against the bit-by-bit product of each piece's symbols.
        int rows = 1;
        for (const std::string &option : row.options)
            if (option.rfind("--recovery=", 0) == 0)
                rows = atoi(option.c_str() + 11);
        for (int r = 1; r < rows; r++) {
            SCOPED_TRACE("row " + std::to_string(r + 1));
            const size_t stored = (size_t)(longest + (longest & 1));
            Bytes expected(stored, 0);
            long long start = 0;
            for (size_t piece = 0; piece < row.counts.size(); piece++) {
                const WORD c = SlowMultiply((WORD)(0xFFFF ^ piece), SlowInverse((WORD)((0xFFFF - r) ^ piece)));
                for (long long i = 0; i < row.counts[piece]; i += 2) {
                    const WORD low = input[(size_t)(start + i)];
                    const WORD high = i + 1 < row.counts[piece] ? input[(size_t)(start + i + 1)] : 0;
                    const WORD p = SlowMultiply(c, (WORD)(low | high << 8));
                    expected[(size_t)i] ^= (BYTE)p;
                    expected[(size_t)i + 1] ^= (BYTE)(p >> 8);
                }
                start += row.counts[piece];
            }
            const std::string rowPath = out + "/set.d00.0" + std::to_string(r + 1);
            Bytes rowFile = ReadFileBytes(rowPath);
            ASSERT_EQ(rowFile.size(), kRecoveryParityOffset + stored + row.counts.size() * kRecoveryEntrySize);
            EXPECT_TRUE(Bytes(rowFile.begin() + kRecoveryParityOffset, rowFile.begin() + kRecoveryParityOffset +
                              (long)stored) == expected);
            OpenedFile opened(rowPath);
            RecoveryHeader header;
            ASSERT_TRUE(ReadRecoveryHeader(opened.Handle(), &header));
            EXPECT_EQ(header.row, r + 1);
            EXPECT_EQ(header.rows, rows);
            EXPECT_EQ(header.parityLength, longest);
            EXPECT_EQ(header.parityCrc, Crc64Compute(0, expected.data(), stored));
            // The row fields are under the header check.
            rowFile[kRecoveryFixedSize + 8] ^= 0x01;
            WriteFileBytes(rowPath, rowFile);
            OpenedFile changed(rowPath);
            EXPECT_FALSE(ReadRecoveryHeader(changed.Handle(), &header));
        }
        // No block of the marker search can see a piece marker: each begins with a zero byte.
        for (size_t block = 0; block < 100; block++)
            EXPECT_EQ(file[block * 1020], 0) << "block " << block + 1;

        switch (row.change) {
        case kNone: break;
        case kFlipHeaderByte: file[8] ^= 0x01; break;
        case kFlipNameByte: file[kRecoveryFixedSize] ^= 0x20; break;
        case kFlipTableByte: file[tableAt + 12] ^= 0x01; break;
        case kCutLastByte: file.pop_back(); break;
        case kFlipParityByte: file[kRecoveryParityOffset] ^= 0x01; break;
        case kHugeSizes:
            for (size_t at : {16, 24})
                for (int i = 0; i < 8; i++)
                    file[at + (size_t)i] = i == 7 ? 0x7F : 0xFF;
            break;
        }
        WriteFileBytes(path, file);
        OpenedFile opened(path);
        RecoveryHeader header;
        ASSERT_EQ(ReadRecoveryHeader(opened.Handle(), &header), row.readable);
        if (!row.readable)
            continue;
        EXPECT_EQ(memcmp(header.setId, "\xAB\xCD", 2), 0);
        EXPECT_EQ(header.pieceCount, (LONG)row.counts.size());
        EXPECT_EQ(header.totalSize, total);
        EXPECT_EQ(header.parityLength, longest);
        EXPECT_EQ(header.year, noTime ? 0 : 2024);
        EXPECT_EQ(header.packedTime, noTime ? 0u : PackTime(3, 15, 13, 45, 30));
        EXPECT_STREQ(header.name, row.name);
        EXPECT_EQ(header.parityCrc, Crc64Compute(0, parity.data(), parity.size()));
        RecoveryEntry entry;
        for (LONG piece = 1; piece <= header.pieceCount; piece++) {
            ASSERT_TRUE(ReadRecoveryEntry(opened.Handle(), &header, piece, &entry));
            EXPECT_EQ(entry.dataCount, row.counts[(size_t)piece - 1]);
            EXPECT_EQ(entry.crc, crcs[(size_t)piece - 1]);
        }
        EXPECT_FALSE(ReadRecoveryEntry(opened.Handle(), &header, header.pieceCount + 1, &entry));
    }
}

} // namespace
