// tests/crc16_test.cpp: the running CRC-16 of a piece's data, and the CRC-64 the recovery
// file keeps of it, against their check values and against bit-by-bit references.
#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include "format/crc16.h"
#include "format/crc64.h"
#include "support/support.h"

namespace {

// CRC-16/XMODEM one bit at a time, as plainly as it can be written.
WORD ReferenceCrc(const Bytes &data)
{
    unsigned crc = 0;
    for (unsigned char byte : data) {
        for (int bit = 7; bit >= 0; bit--) {
            bool top = ((crc >> 15) & 1) != ((byte >> bit) & 1);
            crc = (crc << 1) & 0xFFFF;
            if (top)
                crc ^= 0x1021;
        }
    }
    return (WORD)crc;
}

UINT Update(const std::string &text, int continueFlag)
{
    return Crc16Update(text.data(), (LONG)text.size(), continueFlag);
}

TEST(Crc16Test, CheckValues)
{
    const struct {
        const char *data;
        UINT crc;
        Crc64 crc64;
    } kChecks[] = {{"123456789", 0x31C3, 0x995DC9BBDF1939FAULL}, {"abc", 0x9DD6, 0x2CD8094A1A277627ULL}, {"", 0, 0}};
    for (const auto &c : kChecks) {
        SCOPED_TRACE(c.data);
        Update("something before", 0);
        EXPECT_EQ(Update(c.data, 0), c.crc);
        EXPECT_EQ(Crc16Compute(0, c.data, strlen(c.data)), c.crc);
        EXPECT_EQ(ReferenceCrc(BytesOf(c.data)), c.crc);
        EXPECT_EQ(Crc64Compute(0, c.data, strlen(c.data)), c.crc64);
        EXPECT_EQ(Crc64Sliced(0, c.data, strlen(c.data)), c.crc64);
    }
}

TEST(Crc16Test, ContinueFlagCarriesOn)
{
    Update("1234", 0);
    EXPECT_EQ(Update("56789", 1), 0x31C3u);
    // Without the flag the second part starts from 0 again.
    Update("1234", 0);
    EXPECT_EQ(Update("56789", 0), (UINT)ReferenceCrc(BytesOf("56789")));
}

TEST(Crc16Test, EmptyAndNegativeLengthsAndTheReset)
{
    Update("abc", 0);
    EXPECT_EQ(Crc16Update("xyz", 0, 1), 0x9DD6u);
    EXPECT_EQ(Crc16Update("xyz", -1, 1), 0x9DD6u);
    EXPECT_EQ(Crc16Update(NULL, -100000, 1), 0x9DD6u);
    EXPECT_EQ(Update("123456789", 1), (UINT)ReferenceCrc(BytesOf("abc123456789")));
    // Without the continue flag, length 0 is the reset and a negative length acts alike.
    EXPECT_EQ(Crc16Update(NULL, 0, 0), 0u);
    EXPECT_EQ(Update("abc", 1), 0x9DD6u);
    EXPECT_EQ(Crc16Update("xyz", -1, 0), 0u);
    EXPECT_EQ(Update("abc", 1), 0x9DD6u);
}

TEST(Crc16Test, BlocksAndTailEqualOneCall)
{
    Bytes data = SomeBytes(5 * 1024 + 333, 7);
    UINT whole = Crc16Update(data.data(), (LONG)data.size(), 0);
    Crc16Update(NULL, 0, 0);
    UINT running = 0;
    for (size_t at = 0; at < data.size(); at += 1024)
        running = Crc16Update(data.data() + at, (LONG)std::min<size_t>(1024, data.size() - at), 1);
    EXPECT_EQ(running, whole);
    EXPECT_EQ(whole, (UINT)ReferenceCrc(data));
}

// Random data cut at random places: the running CRC and the writer's computation both
// agree with the reference, whatever the cuts (the table form steps eight bytes at a time,
// so lengths and cuts around multiples of 8 matter).
TEST(Crc16Test, RandomSplitsMatchTheReference)
{
    std::mt19937 random(20240315);
    for (int round = 0; round < 300; round++) {
        Bytes data = SomeBytes(random() % 3000, (unsigned)round);
        SCOPED_TRACE(data.size());
        WORD expected = ReferenceCrc(data);
        Crc16Update(NULL, 0, 0);
        UINT running = 0;
        WORD computed = 0;
        size_t at = 0;
        while (at < data.size()) {
            size_t piece = std::min<size_t>(random() % 40, data.size() - at);
            running = Crc16Update(data.data() + at, (LONG)piece, 1);
            computed = Crc16Compute(computed, data.data() + at, piece);
            at += piece;
        }
        EXPECT_EQ(running, (UINT)expected);
        EXPECT_EQ(computed, expected);
    }
}

// CRC-64/XZ one bit at a time: start and final XOR all ones, reflected polynomial.
Crc64 ReferenceCrc64(Crc64 crc, const unsigned char *p, size_t length)
{
    crc = ~crc;
    for (size_t i = 0; i < length; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xC96C5795D7870F42ULL : crc >> 1;
    }
    return ~crc;
}

// Both ways of the CRC-64 over every length up to 300 (the folding's 16-byte blocks and
// 64-byte lanes), then random lengths and alignments from random values carried on.
TEST(Crc64Test, BothWaysMatchTheReference)
{
    std::mt19937 random(0xC96C5795u);
    Bytes data = SomeBytes(5000, 64);
    for (int round = 0; round < 1500; round++) {
        size_t length = round <= 300 ? (size_t)round : random() % 4097;
        size_t offset = random() % 16;
        Crc64 start = (Crc64)random() << 32 | random();
        Crc64 expected = ReferenceCrc64(start, data.data() + offset, length);
        ASSERT_EQ(Crc64Sliced(start, data.data() + offset, length), expected) << length;
        ASSERT_EQ(Crc64Compute(start, data.data() + offset, length), expected) << length;
        if (Crc64CanFold()) {
            ASSERT_EQ(Crc64Folded(start, data.data() + offset, length), expected) << length;
        }
    }
}

} // namespace
