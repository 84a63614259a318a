// tests/crc16_variants_test.cpp: every way format/crc16.cpp computes the CRC-16 against a
// bit-by-bit reference written here: pinned values, random data at random lengths and
// alignments, random block splits through Crc16Update, and the folding constants.
#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "format/crc16.h"
#include "format/crc16_variants.h"

namespace {

// The definition itself: each byte into the top of the value, then eight shifts, XOR-ing
// the polynomial in whenever a set bit leaves bit 15.
WORD ReferenceCrc(WORD start, const void *data, size_t length)
{
    const unsigned char *p = (const unsigned char *)data;
    unsigned v = start;
    for (size_t i = 0; i < length; i++) {
        v ^= (unsigned)p[i] << 8;
        for (int bit = 0; bit < 8; bit++)
            v = (v & 0x8000) ? ((v << 1) ^ 0x1021) & 0xFFFF : (v << 1) & 0xFFFF;
    }
    return (WORD)v;
}

// x^k mod P, one multiplication by x at a time.
unsigned ReferenceXPowMod(unsigned k)
{
    unsigned v = 1;
    for (unsigned i = 0; i < k; i++) {
        v <<= 1;
        if (v & 0x10000)
            v ^= 0x11021;
    }
    return v;
}

// The CRC through the process-wide register, the block sizes taken in turn from splits.
WORD ThroughRegister(const unsigned char *data, size_t length, const std::vector<size_t> &splits)
{
    UINT crc = Crc16Update(NULL, 0, 0);
    size_t done = 0;
    for (size_t i = 0; done < length; i++) {
        size_t n = splits[i % splits.size()];
        if (n > length - done)
            n = length - done;
        crc = Crc16Update(data + done, (LONG)n, 1);
        done += n;
    }
    return (WORD)crc;
}

struct Variant {
    const char *name;
    WORD (*compute)(WORD, const void *, size_t);
    bool needsFolding;
};

const Variant kVariants[] = {
    {"Reference", ReferenceCrc, false}, {"Bytewise", Crc16Bytewise, false}, {"Sliced", Crc16Sliced, false},
    {"Folded", Crc16Folded, true},      {"Compute", Crc16Compute, false},
};

class Crc16VariantTest : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override
    {
        if (GetParam().needsFolding && !Crc16CanFold())
            GTEST_SKIP() << "this processor has no carry-less multiply";
    }
};

std::vector<unsigned char> Pattern(size_t length)
{
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (unsigned char)(i * 31 + 7);
    return bytes;
}

// Values pinned from the definition: the usual check strings, and pattern data long enough
// for every folding stage (single blocks, four lanes, a tail below 16 bytes), from zero and
// nonzero start values.
TEST_P(Crc16VariantTest, GivesThePinnedValues)
{
    struct Case {
        const char *label;
        WORD start;
        std::string data;
        WORD expected;
    };
    const std::string pattern16((const char *)Pattern(16).data(), 16);
    const std::vector<unsigned char> long1027 = Pattern(1027);
    const Case cases[] = {
        {"no bytes", 0, "", 0x0000},
        {"no bytes from a start value", 0xBEEF, "", 0xBEEF},
        {"check string", 0, "123456789", 0x31C3},
        {"abc", 0, "abc", 0x9DD6},
        {"one zero byte", 0, std::string(1, '\0'), 0x0000},
        {"sixteen pattern bytes", 0, pattern16, 0x0D37},
        {"sixteen pattern bytes from FFFF", 0xFFFF, pattern16, 0x673D},
        {"1024 pattern bytes", 0, std::string((const char *)long1027.data(), 1024), 0xF009},
        {"1027 pattern bytes from 1D0F", 0x1D0F, std::string((const char *)long1027.data(), 1027), 0xACAD},
        {"sixty-four 0xFF bytes", 0, std::string(64, '\xFF'), 0x278E},
    };
    for (const Case &c : cases)
        EXPECT_EQ(GetParam().compute(c.start, c.data.data(), c.data.size()), c.expected) << c.label;
}

// Every length from 0 to 300 (all the boundaries of the 16-byte blocks and 64-byte lanes),
// then random lengths up to a few thousand, at every start alignment, from random start
// values, over random bytes.
TEST_P(Crc16VariantTest, AgreesWithTheDefinitionOnRandomData)
{
    std::mt19937 random(0x5eed1021u + (unsigned)strlen(GetParam().name));
    std::vector<unsigned char> buffer(5000);
    for (unsigned char &b : buffer)
        b = (unsigned char)random();
    for (size_t length = 0; length <= 300; length++) {
        size_t offset = length % 16;
        WORD start = (WORD)random();
        ASSERT_EQ(GetParam().compute(start, buffer.data() + offset, length),
                  ReferenceCrc(start, buffer.data() + offset, length))
            << "length " << length << ", offset " << offset << ", start " << start;
    }
    for (int round = 0; round < 400; round++) {
        size_t length = random() % 4097;
        size_t offset = random() % 16;
        WORD start = (WORD)random();
        ASSERT_EQ(GetParam().compute(start, buffer.data() + offset, length),
                  ReferenceCrc(start, buffer.data() + offset, length))
            << "length " << length << ", offset " << offset << ", start " << start;
    }
}

// All-ones data set every bit of every folded value, and single set bits walk through
// every position of the blocks: a wrong constant or a lost half of a product shows.
TEST_P(Crc16VariantTest, AgreesWithTheDefinitionOnAllOnesAndSingleBits)
{
    std::vector<unsigned char> ones(1030, 0xFF);
    for (size_t length : {15, 16, 17, 63, 64, 65, 79, 80, 128, 1024, 1030})
        EXPECT_EQ(GetParam().compute(0xFFFF, ones.data(), length), ReferenceCrc(0xFFFF, ones.data(), length))
            << "length " << length;
    std::vector<unsigned char> single(256, 0);
    for (size_t bit = 0; bit < single.size() * 8; bit += 7) {
        single.assign(single.size(), 0);
        single[bit / 8] = (unsigned char)(0x80 >> (bit % 8));
        ASSERT_EQ(GetParam().compute(0, single.data(), single.size()), ReferenceCrc(0, single.data(), single.size()))
            << "bit " << bit;
    }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Crc16VariantTest, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant> &info) { return std::string(info.param.name); });

// Crc16Update carries the register across calls: random data cut into random blocks
// (single bytes, odd sizes, the worker's 1024) give the CRC of the whole; calls with a
// length of 0 or less in between change nothing; a reset starts again from 0.
TEST(Crc16RegisterTest, RandomBlockSplitsGiveTheWholeValue)
{
    std::mt19937 random(20240611u);
    std::vector<unsigned char> data(9000);
    for (unsigned char &b : data)
        b = (unsigned char)random();
    for (int round = 0; round < 200; round++) {
        size_t length = random() % 9001;
        std::vector<size_t> splits;
        int count = 1 + (int)(random() % 6);
        for (int i = 0; i < count; i++) {
            switch (random() % 4) {
            case 0: splits.push_back(1 + random() % 15); break;
            case 1: splits.push_back(1 + random() % 200); break;
            case 2: splits.push_back(1024); break;
            default: splits.push_back(1 + random() % 3000); break;
            }
        }
        ASSERT_EQ(ThroughRegister(data.data(), length, splits), ReferenceCrc(0, data.data(), length))
            << "round " << round << ", length " << length;
    }
}

TEST(Crc16RegisterTest, EmptyAndNegativeLengthsLeaveTheRegister)
{
    const char *digits = "123456789";
    EXPECT_EQ(Crc16Update(digits, 4, 0), ReferenceCrc(0, digits, 4));
    UINT partial = Crc16Update(digits, 4, 1);
    EXPECT_EQ(partial, ReferenceCrc(0, "12341234", 8));
    EXPECT_EQ(Crc16Update(digits, 0, 1), partial);
    EXPECT_EQ(Crc16Update(digits, -5, 1), partial);
    EXPECT_EQ(Crc16Update(NULL, 0, 1), partial);
    EXPECT_EQ(Crc16Update(digits, -1, 0), 0u);
    EXPECT_EQ(Crc16Update(digits + 4, 5, 1), ReferenceCrc(0, digits + 4, 5));
    EXPECT_EQ(Crc16Update(NULL, 0, 0), 0u);
    EXPECT_EQ(Crc16Update(digits, 4, 1), ReferenceCrc(0, digits, 4));
    EXPECT_EQ(Crc16Update(digits + 4, 5, 1), 0x31C3u);
}

// The remainders the folding path multiplies by, and the quotient of its final reduction,
// worked out again here one bit at a time.
TEST(Crc16FoldConstantsTest, AreThePowersOfXModuloThePolynomial)
{
    ASSERT_GT(kCrc16FoldConstantCount, 0u);
    for (size_t i = 0; i < kCrc16FoldConstantCount; i++)
        EXPECT_EQ(kCrc16FoldConstants[i].remainder, ReferenceXPowMod(kCrc16FoldConstants[i].exponent))
            << "x^" << kCrc16FoldConstants[i].exponent;

    // floor(x^64 / P) times P, plus x^64 mod P, gives x^64 back (carry-less arithmetic).
    unsigned __int128 product = 0;
    for (int bit = 0; bit < 64; bit++)
        if (kCrc16FinalQuotient >> bit & 1)
            product ^= (unsigned __int128)0x11021 << bit;
    product ^= ReferenceXPowMod(64);
    EXPECT_TRUE(product == (unsigned __int128)1 << 64);
}

} // namespace
