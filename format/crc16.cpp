// format/crc16.cpp: CRC-16/XMODEM (polynomial 0x1021, most significant bit first,
// start 0, no reflection, no final XOR). Eight bytes per step with constant tables on x86,
// where processors that multiply without carries (PCLMULQDQ) go 64 bytes per step by
// folding, chosen once before main runs; sixteen per step with twice the tables where no
// build folds (WebAssembly among them). All give the same values.
#include "format/crc16.h"
#include "format/cpu.h"
#include "format/bytes.h"
#include "format/crc16_variants.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define CRC16_FOLDING 1
#else
#define CRC16_FOLDING 0
#endif

namespace {

constexpr unsigned kPolynomial = 0x1021; // x^16 + x^12 + x^5 + 1 without its x^16 term

// Bytes the table path takes per step: where the build folds, the tables only serve older
// processors and short runs, and the image keeps its 4 KiB.
constexpr int kSlices = CRC16_FOLDING ? 8 : 16;

struct CrcTables {
    WORD t[kSlices][256];
};

// t[0] is the usual byte table; t[k][b] is the CRC of byte b followed by k zero bytes,
// so kSlices table look-ups advance the value over as many bytes at once.
constexpr CrcTables MakeCrcTables()
{
    CrcTables tables{};
    for (int b = 0; b < 256; b++) {
        unsigned v = (unsigned)b << 8;
        for (int i = 0; i < 8; i++)
            v = (v & 0x8000) ? (v << 1) ^ kPolynomial : v << 1;
        tables.t[0][b] = (WORD)v;
    }
    for (int k = 1; k < kSlices; k++)
        for (int b = 0; b < 256; b++) {
            unsigned prev = tables.t[k - 1][b];
            tables.t[k][b] = (WORD)((prev << 8) ^ tables.t[0][prev >> 8]);
        }
    return tables;
}

constexpr CrcTables kCrc = MakeCrcTables();

// x^k mod P(x), multiplying by x one step at a time.
constexpr UINT XPowMod(unsigned k)
{
    unsigned v = 1;
    while (k-- > 0) {
        v <<= 1;
        if (v & 0x10000)
            v ^= 0x10000 | kPolynomial;
    }
    return v;
}

// floor(x^64 / P(x)) by long division, one quotient bit per step.
constexpr unsigned long long FinalQuotient()
{
    unsigned long long quotient = 0;
    unsigned remainder = 0;
    for (int bit = 64; bit >= 0; bit--) {
        remainder = (remainder << 1) | (bit == 64 ? 1u : 0u);
        if (remainder & 0x10000) {
            remainder ^= 0x10000 | kPolynomial;
            quotient |= 1ull << bit;
        }
    }
    return quotient;
}

// Folding a 128-bit value forward over n bits multiplies its low half by x^n and its high
// half by x^(n+64); the final reduction needs x^64 and x^80.
constexpr UINT kX64 = XPowMod(64);
constexpr UINT kX80 = XPowMod(80);
constexpr UINT kX128 = XPowMod(128);
constexpr UINT kX192 = XPowMod(192);
constexpr UINT kX256 = XPowMod(256);
constexpr UINT kX320 = XPowMod(320);
constexpr UINT kX384 = XPowMod(384);
constexpr UINT kX448 = XPowMod(448);
constexpr UINT kX512 = XPowMod(512);
constexpr UINT kX576 = XPowMod(576);
constexpr unsigned long long kQuotient = FinalQuotient();

static_assert(XPowMod(16) == kPolynomial, "x^16 is congruent to the polynomial's low terms");
static_assert(kQuotient >> 48 == 1 && (kQuotient >> 49) == 0, "x^64 / P has degree 48");

} // namespace

const Crc16FoldConstant kCrc16FoldConstants[] = {
    {64, kX64},   {80, kX80},   {128, kX128}, {192, kX192}, {256, kX256},
    {320, kX320}, {384, kX384}, {448, kX448}, {512, kX512}, {576, kX576},
};
const size_t kCrc16FoldConstantCount = sizeof kCrc16FoldConstants / sizeof kCrc16FoldConstants[0];
const unsigned long long kCrc16FinalQuotient = kQuotient;

WORD Crc16Bytewise(WORD start, const void *data, size_t length)
{
    const unsigned char *p = (const unsigned char *)data;
    unsigned v = start;
    while (length-- > 0)
        v = ((v << 8) ^ kCrc.t[0][((v >> 8) ^ *p++) & 0xFF]) & 0xFFFF;
    return (WORD)v;
}

WORD Crc16Sliced(WORD start, const void *data, size_t length)
{
    const unsigned char *p = (const unsigned char *)data;
    unsigned v = start;
    // Sixteen bytes as two little-endian words, the value added to the first two: the
    // first eight bytes' tables lie sixteen bytes back (h + k), the second eight's eight.
    constexpr int h = kSlices - 8;
    while (kSlices == 16 && length >= 16) {
        const unsigned long long a = LoadLe64(p) ^ (v >> 8) ^ ((v & 0xFF) << 8);
        const unsigned long long b = LoadLe64(p + 8);
        v = kCrc.t[h + 7][a & 0xFF] ^ kCrc.t[h + 6][(a >> 8) & 0xFF] ^ kCrc.t[h + 5][(a >> 16) & 0xFF] ^
            kCrc.t[h + 4][(a >> 24) & 0xFF] ^ kCrc.t[h + 3][(a >> 32) & 0xFF] ^ kCrc.t[h + 2][(a >> 40) & 0xFF] ^
            kCrc.t[h + 1][(a >> 48) & 0xFF] ^ kCrc.t[h][a >> 56] ^ kCrc.t[7][b & 0xFF] ^ kCrc.t[6][(b >> 8) & 0xFF] ^
            kCrc.t[5][(b >> 16) & 0xFF] ^ kCrc.t[4][(b >> 24) & 0xFF] ^ kCrc.t[3][(b >> 32) & 0xFF] ^
            kCrc.t[2][(b >> 40) & 0xFF] ^ kCrc.t[1][(b >> 48) & 0xFF] ^ kCrc.t[0][b >> 56];
        p += 16;
        length -= 16;
    }
    while (length >= 8) {
        v = kCrc.t[7][(v >> 8) ^ p[0]] ^ kCrc.t[6][(v & 0xFF) ^ p[1]] ^ kCrc.t[5][p[2]] ^ kCrc.t[4][p[3]] ^
            kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^ kCrc.t[0][p[7]];
        p += 8;
        length -= 8;
    }
    while (length-- > 0)
        v = ((v << 8) ^ kCrc.t[0][((v >> 8) ^ *p++) & 0xFF]) & 0xFFFF;
    return (WORD)v;
}

#if CRC16_FOLDING

// The folding code keeps 16-byte values on the stack when registers run out, and 32-bit
// Windows starts threads with the stack aligned to 4 bytes only: realign on entry there.
#if defined(__i386__)
#define CRC16_FOLD_ENTRY __attribute__((target("pclmul,ssse3"), force_align_arg_pointer))
#else
#define CRC16_FOLD_ENTRY __attribute__((target("pclmul,ssse3")))
#endif
#define CRC16_FOLD_HELPER static inline __attribute__((target("pclmul,ssse3"), always_inline))

// Sixteen data bytes as one 128-bit polynomial: the first byte's top bit is x^127.
CRC16_FOLD_HELPER __m128i LoadBlock(const unsigned char *p, __m128i reverse)
{
    return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)p), reverse);
}

// A value congruent to x times x^n mod P, for the 128-bit x, when k holds x^n mod P in its
// low half and x^(n+64) mod P in its high half. The result stays below x^80.
CRC16_FOLD_HELPER __m128i Fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The CRC of a 128-bit value r, that is r(x) * x^16 mod P(x).
CRC16_FOLD_HELPER unsigned Reduce(__m128i r)
{
    const __m128i k = _mm_set_epi64x(kX64, kX80);
    // r * x^16 = high * x^80 + low * x^16: below x^80.
    __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(r, k, 0x01), _mm_slli_si128(_mm_move_epi64(r), 2));
    // Bits 64 to 79 times x^64 mod P: below x^64.
    __m128i u = _mm_xor_si128(_mm_clmulepi64_si128(_mm_srli_si128(t, 8), k, 0x10), _mm_move_epi64(t));
    // Barrett: the quotient u / P is floor(floor(u / x^16) * floor(x^64 / P) / x^48),
    // exact for u below x^64; the remainder is u minus quotient * P, of which only the low
    // 16 bits are wanted, and those of quotient * x^16 are zero.
    const __m128i m = _mm_set_epi64x(kPolynomial, (long long)kQuotient);
    __m128i q = _mm_srli_si128(_mm_clmulepi64_si128(_mm_srli_epi64(u, 16), m, 0x00), 6);
    __m128i qp = _mm_clmulepi64_si128(q, m, 0x10);
    return (unsigned)(_mm_cvtsi128_si32(u) ^ _mm_cvtsi128_si32(qp)) & 0xFFFF;
}

CRC16_FOLD_ENTRY WORD Crc16Folded(WORD start, const void *data, size_t length)
{
    if (length < 16)
        return Crc16Sliced(start, data, length);
    const unsigned char *p = (const unsigned char *)data;
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i by128 = _mm_set_epi64x(kX192, kX128);

    // Starting from a value s is the same as starting from 0 with s added to the first
    // 16 bits of the data.
    __m128i x = _mm_xor_si128(LoadBlock(p, reverse), _mm_slli_si128(_mm_cvtsi32_si128(start), 14));
    p += 16;
    length -= 16;
    if (length >= 48) {
        // Four independent lanes hide the multiplier's latency; each moves 64 bytes on.
        const __m128i by512 = _mm_set_epi64x(kX576, kX512);
        __m128i x1 = LoadBlock(p, reverse);
        __m128i x2 = LoadBlock(p + 16, reverse);
        __m128i x3 = LoadBlock(p + 32, reverse);
        p += 48;
        length -= 48;
        while (length >= 64) {
            x = _mm_xor_si128(Fold(x, by512), LoadBlock(p, reverse));
            x1 = _mm_xor_si128(Fold(x1, by512), LoadBlock(p + 16, reverse));
            x2 = _mm_xor_si128(Fold(x2, by512), LoadBlock(p + 32, reverse));
            x3 = _mm_xor_si128(Fold(x3, by512), LoadBlock(p + 48, reverse));
            p += 64;
            length -= 64;
        }
        const __m128i by384 = _mm_set_epi64x(kX448, kX384);
        const __m128i by256 = _mm_set_epi64x(kX320, kX256);
        x = _mm_xor_si128(_mm_xor_si128(Fold(x, by384), Fold(x1, by256)), _mm_xor_si128(Fold(x2, by128), x3));
    }
    while (length >= 16) {
        x = _mm_xor_si128(Fold(x, by128), LoadBlock(p, reverse));
        p += 16;
        length -= 16;
    }
    WORD crc = (WORD)Reduce(x);
    return length > 0 ? Crc16Sliced(crc, p, length) : crc;
}

#else

WORD Crc16Folded(WORD start, const void *data, size_t length)
{
    return Crc16Sliced(start, data, length);
}

#endif

// Whether Crc16Compute folds: written once by static initialisation, before main and so
// before any thread exists, and only read afterwards. Until then it reads false, which
// only means the table path.
static const bool g_canFold = ProcessorCanFoldCrc();

static UINT g_crcRegister; // the running CRC; written only by the restore worker's thread

// Below this many bytes the tables are as fast as folding and its final reduction.
static const size_t kFoldFrom = 32;

bool Crc16CanFold()
{
    return g_canFold;
}

WORD Crc16Compute(WORD start, const void *data, size_t length)
{
    if (g_canFold && length >= kFoldFrom)
        return Crc16Folded(start, data, length);
    return Crc16Sliced(start, data, length);
}

UINT Crc16Update(const void *data, LONG length, int continueFlag)
{
    if (!continueFlag)
        g_crcRegister = 0;
    if (length <= 0)
        return g_crcRegister;
    g_crcRegister = Crc16Compute((WORD)g_crcRegister, data, (size_t)length);
    return g_crcRegister;
}
