// tests/varint_test.cpp: the size and length integers, read from real files through the
// stand-in and written by the writers.
#include <gtest/gtest.h>

#include "format/varint.h"
#include "support/support.h"

namespace {

enum Kind { kSize = 0, kLength = kLengthInteger, kLongLength = kLongLengthInteger };

// Reads one integer of the kind from the start of a file holding bytes; *position gets
// the file position afterwards.
long long ReadFromFile(Kind kind, const Bytes &bytes, long long *position)
{
    TempDir dir;
    std::string path = dir.File("integer");
    WriteFileBytes(path, bytes);
    OpenedFile file(path);
    long long value = kind == kSize ? ReadSizeInteger(file.Handle()) : ReadLengthInteger(file.Handle(), kind);
    *position = file.Position();
    return value;
}

Bytes Write(Kind kind, long long value)
{
    unsigned char out[8];
    int width = kind == kSize     ? PutSizeInteger(out, value)
                : kind == kLength ? PutLengthInteger(out, (LONG)value)
                                  : PutLongLengthInteger(out, (LONG)value);
    return Bytes(out, out + width);
}

struct Encoding {
    const char *label;
    Kind kind;
    long long value;
    Bytes bytes;
};

const Encoding kEncodings[] = {
    {"size 0", kSize, 0, {0x00, 0x00, 0x00, 0x00}},
    {"size 5,000", kSize, 5000, {0x00, 0x00, 0x13, 0x88}},
    {"size 2^31-1", kSize, 2147483647LL, {0x7F, 0xFF, 0xFF, 0xFF}},
    {"size 2^31", kSize, 2147483648LL, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"size 5,368,709,120", kSize, 5368709120LL, {0x80, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}},
    {"size 2^63-1", kSize, 0x7FFFFFFFFFFFFFFFLL, {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}},
    {"length 0", kLength, 0, {0x00}},
    {"length 127", kLength, 127, {0x7F}},
    {"length 128", kLength, 128, {0x80, 0x00}},
    {"length 300", kLength, 300, {0x80, 0xAC}},
    {"length 32,895", kLength, 32895, {0xFF, 0xFF}},
    {"long length 32,767", kLongLength, 32767, {0x7F, 0xFF}},
    {"long length 32,768", kLongLength, 32768, {0x80, 0x00, 0x00, 0x00}},
    {"long length 100,000", kLongLength, 100000, {0x80, 0x01, 0x06, 0xA0}},
    {"long length 2^31-1", kLongLength, 2147483647LL, {0xFF, 0xFF, 0x7F, 0xFF}},
};

TEST(VarintTest, ExampleEncodingsReadAndWrite)
{
    for (const Encoding &e : kEncodings) {
        SCOPED_TRACE(e.label);
        long long position = -1;
        EXPECT_EQ(ReadFromFile(e.kind, e.bytes, &position), e.value);
        EXPECT_EQ(position, (long long)e.bytes.size());
        EXPECT_EQ(Write(e.kind, e.value), e.bytes);
        if (e.kind == kSize) {
            EXPECT_EQ(SizeIntegerWidth(e.value), (int)e.bytes.size());
        }
        if (e.kind == kLength) {
            EXPECT_EQ(LengthIntegerWidth((LONG)e.value), (int)e.bytes.size());
        }
    }
}

// Integers that cannot be read: -1, with the bytes that did arrive consumed.
struct Unreadable {
    const char *label;
    Kind kind;
    Bytes bytes;
    long long position;
};

const Unreadable kUnreadable[] = {
    {"size in an empty file", kSize, {}, 0},
    {"size cut after 3 bytes", kSize, {0x00, 0x00, 0x13}, 3},
    {"long size cut after 4 bytes", kSize, {0x80, 0x00, 0x00, 0x00}, 4},
    {"long size cut after 6 bytes", kSize, {0x80, 0x00, 0x00, 0x00, 0xC0, 0x00}, 6},
    {"long size cut after 7 bytes", kSize, {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF}, 7},
    {"length in an empty file", kLength, {}, 0},
    {"long length cut after 1 byte", kLength, {0x80}, 1},
    {"long length integer cut after 1 byte", kLongLength, {0x7F}, 1},
    {"long length integer cut after 3 bytes", kLongLength, {0x80, 0x01, 0x06}, 3},
    {"size beyond 2^63-1 by one", kSize, {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00}, 8},
    {"size with every bit set", kSize, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8},
    {"long length integer beyond 2^31-1 by one", kLongLength, {0xFF, 0xFF, 0x80, 0x00}, 4},
    {"long length integer with every bit set", kLongLength, {0xFF, 0xFF, 0xFF, 0xFF}, 4},
};

TEST(VarintTest, UnreadableIntegersGiveMinusOne)
{
    for (const Unreadable &u : kUnreadable) {
        SCOPED_TRACE(u.label);
        long long position = -1;
        EXPECT_EQ(ReadFromFile(u.kind, u.bytes, &position), -1);
        EXPECT_EQ(position, u.position);
    }
}

TEST(VarintTest, OtherKindsReadNothing)
{
    TempDir dir;
    std::string path = dir.File("integer");
    WriteFileBytes(path, {0x7F, 0x01});
    OpenedFile file(path);
    for (int kind : {0, 3, -1}) {
        EXPECT_EQ(ReadLengthInteger(file.Handle(), kind), 0) << "kind " << kind;
        EXPECT_EQ(file.Position(), 0) << "kind " << kind;
    }
}

} // namespace
