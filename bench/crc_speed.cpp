// bench/crc_speed.cpp: MB/s of each CRC-16 variant at several call sizes, every call
// starting from the last one's value as the restore worker's do. Plain C++ and printf, so
// that it builds natively and with MinGW alike.
#include "bench/crc_speed.h"

#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "format/crc16.h"
#include "format/crc16_variants.h"

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The definition, one bit at a time, for comparison.
WORD BitwiseCrc(WORD start, const void *data, size_t length)
{
    const unsigned char *p = (const unsigned char *)data;
    unsigned v = start;
    for (size_t i = 0; i < length; i++) {
        v ^= (unsigned)p[i] << 8;
        for (int bit = 0; bit < 8; bit++)
            v = (v & 0x8000) ? (v << 1) ^ 0x1021 : v << 1;
    }
    return (WORD)v;
}

WORD ThroughRegister(WORD, const void *data, size_t length)
{
    return (WORD)Crc16Update(data, (LONG)length, 1);
}

struct CrcVariant {
    const char *name;
    WORD (*compute)(WORD, const void *, size_t);
};

// MB/s of calls of callSize bytes walking through a 64 KiB buffer: the median of five runs
// of at least 0.2 s each.
double CrcSpeed(const CrcVariant &variant, const std::vector<unsigned char> &buffer, size_t callSize)
{
    std::vector<double> speeds;
    WORD value = 0;
    for (int repeat = 0; repeat < 5; repeat++) {
        size_t bytes = 0, offset = 0;
        double begin = Now(), elapsed = 0;
        do {
            for (int call = 0; call < 64; call++) {
                if (offset + callSize > buffer.size())
                    offset = 0;
                value = variant.compute(value, buffer.data() + offset, callSize);
                offset += callSize;
                bytes += callSize;
            }
            elapsed = Now() - begin;
        } while (elapsed < 0.2);
        speeds.push_back((double)bytes / elapsed / 1e6);
    }
    // The last value is printed nowhere but must not be optimised away with the calls.
    volatile WORD sink = value;
    (void)sink;
    std::sort(speeds.begin(), speeds.end());
    return speeds[speeds.size() / 2];
}

} // namespace

void PrintCrcSpeeds()
{
    std::vector<unsigned char> buffer(64 * 1024);
    unsigned long long state = 0x9E3779B97F4A7C15ull;
    for (unsigned char &b : buffer) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        b = (unsigned char)(state >> 56);
    }
    std::vector<CrcVariant> variants = {
        {"bit by bit", BitwiseCrc},
        {"256-entry table", Crc16Bytewise},
        {"slicing-by-8", Crc16Sliced},
    };
    if (Crc16CanFold())
        variants.push_back({"carry-less multiply folding", Crc16Folded});
    variants.push_back({"Crc16Compute (the program's choice)", Crc16Compute});
    variants.push_back({"Crc16Update (the worker's call)", ThroughRegister});

    // Before any figure: the values every variant gives on this build, against bit by bit,
    // at every length to 300 and a few long ones, from every start alignment.
    unsigned compared = 0, differing = 0;
    for (size_t length = 0; length <= 2048; length += length < 300 ? 1 : 331) {
        size_t offset = (length * 7) % 16;
        WORD start = (WORD)(length * 40503u);
        WORD expected = BitwiseCrc(start, buffer.data() + offset, length);
        for (const CrcVariant &variant : variants) {
            // The register form cannot start from an arbitrary value; it is Crc16Compute inside.
            if (variant.compute == ThroughRegister)
                continue;
            compared++;
            if (variant.compute(start, buffer.data() + offset, length) != expected)
                differing++;
        }
    }

    printf("\nCRC-16 alone (%d-bit build), MB/s = 10^6 bytes/s, median of 5 runs of 0.2 s, calls chained\n",
           (int)(sizeof(void *) * 8));
    printf("values against bit by bit: %u of %u comparisons differ\n", differing, compared);
    printf("folding path: %s\n", Crc16CanFold() ? "available (PCLMULQDQ, SSSE3)" : "not available on this processor");
    const size_t lengths[] = {16, 64, 256, 1024, 16384};
    printf("%-38s", "variant \\ bytes per call");
    for (size_t length : lengths)
        printf("%9u", (unsigned)length);
    printf("\n");
    for (const CrcVariant &variant : variants) {
        printf("%-38s", variant.name);
        for (size_t length : lengths)
            printf("%9.0f", CrcSpeed(variant, buffer, length));
        printf("\n");
        fflush(stdout);
    }
}
