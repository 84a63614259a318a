// format/crc64.cpp: CRC-64/XZ, least significant bit first. Eight bytes per step with
// tables on any processor; 64 bytes per step by carry-less multiplication folding where
// the processor has it, chosen once before main runs, as the CRC-16 chooses.
#include "format/crc64.h"
#include "format/bytes.h"
#include "format/cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define CRC64_FOLDING 1
#else
#define CRC64_FOLDING 0
#endif

namespace {

// The polynomial without its x^64 term, most significant bit first, and the same bits
// reversed as the reflected computation uses them.
constexpr unsigned long long kPolynomial = 0x42F0E1EBA9EA3693ULL;
constexpr unsigned long long kReflected = 0xC96C5795D7870F42ULL;

constexpr unsigned long long Reverse64(unsigned long long v)
{
    unsigned long long r = 0;
    for (int i = 0; i < 64; i++)
        r |= ((v >> i) & 1) << (63 - i);
    return r;
}

static_assert(Reverse64(kPolynomial) == kReflected, "the reflected polynomial is the reversed one");

// x^k mod P(x), multiplying by x one step at a time.
constexpr unsigned long long XPowMod(unsigned k)
{
    unsigned long long v = 1;
    while (k-- > 0)
        v = (v >> 63) ? (v << 1) ^ kPolynomial : v << 1;
    return v;
}

// A product of two reflected 64-bit values by PCLMULQDQ comes out multiplied by x once
// more; a constant that stands for x^n is therefore x^(n-1) mod P, reflected.
constexpr unsigned long long FoldConstant(unsigned n)
{
    return Reverse64(XPowMod(n - 1));
}

} // namespace

// Bytes the table path takes per step: eight where the build folds (the tables then serve
// only older processors and short runs), sixteen where it never does (WebAssembly).
constexpr int kSlices = CRC64_FOLDING ? 8 : 16;

// t[0] is the usual byte table; t[k][b] carries byte b over k more zero bytes. 16 KiB (32
// where sixteen): built at start-up rather than stored in the image, which the stub cannot
// spare.
static unsigned long long g_crc64Tables[kSlices][256]; // written once by static initialisation, read only afterwards

// Read through volatile so that the compiler cannot work the tables out itself and put
// them into the image after all.
static const volatile unsigned long long g_tablePolynomial = kReflected;

static bool BuildTables()
{
    const unsigned long long polynomial = g_tablePolynomial;
    for (int b = 0; b < 256; b++) {
        unsigned long long v = (unsigned long long)b;
        for (int i = 0; i < 8; i++)
            v = (v & 1) ? (v >> 1) ^ polynomial : v >> 1;
        g_crc64Tables[0][b] = v;
    }
    for (int k = 1; k < kSlices; k++)
        for (int b = 0; b < 256; b++) {
            unsigned long long prev = g_crc64Tables[k - 1][b];
            g_crc64Tables[k][b] = (prev >> 8) ^ g_crc64Tables[0][prev & 0xFF];
        }
    return true;
}

static const bool g_crc64TablesBuilt = BuildTables(); // set before main, before any thread

// The register between the start and final inversions.
static unsigned long long SlicedRaw(unsigned long long v, const unsigned char *p, size_t length)
{
    const unsigned long long(*t)[256] = g_crc64Tables;
    // The first eight bytes' tables lie sixteen bytes back (h + k), the second eight's eight.
    constexpr int h = kSlices - 8;
    while (kSlices == 16 && length >= 16) {
        v ^= LoadLe64(p);
        const unsigned long long w = LoadLe64(p + 8);
        v = t[h + 7][v & 0xFF] ^ t[h + 6][(v >> 8) & 0xFF] ^ t[h + 5][(v >> 16) & 0xFF] ^ t[h + 4][(v >> 24) & 0xFF] ^
            t[h + 3][(v >> 32) & 0xFF] ^ t[h + 2][(v >> 40) & 0xFF] ^ t[h + 1][(v >> 48) & 0xFF] ^ t[h][v >> 56] ^
            t[7][w & 0xFF] ^ t[6][(w >> 8) & 0xFF] ^ t[5][(w >> 16) & 0xFF] ^ t[4][(w >> 24) & 0xFF] ^
            t[3][(w >> 32) & 0xFF] ^ t[2][(w >> 40) & 0xFF] ^ t[1][(w >> 48) & 0xFF] ^ t[0][w >> 56];
        p += 16;
        length -= 16;
    }
    while (length >= 8) {
        v ^= LoadLe64(p);
        v = g_crc64Tables[7][v & 0xFF] ^ g_crc64Tables[6][(v >> 8) & 0xFF] ^ g_crc64Tables[5][(v >> 16) & 0xFF] ^
            g_crc64Tables[4][(v >> 24) & 0xFF] ^ g_crc64Tables[3][(v >> 32) & 0xFF] ^ g_crc64Tables[2][(v >> 40) & 0xFF] ^
            g_crc64Tables[1][(v >> 48) & 0xFF] ^ g_crc64Tables[0][v >> 56];
        p += 8;
        length -= 8;
    }
    while (length-- > 0)
        v = (v >> 8) ^ g_crc64Tables[0][(v ^ *p++) & 0xFF];
    return v;
}

Crc64 Crc64Sliced(Crc64 crc, const void *data, size_t length)
{
    return ~SlicedRaw(~crc, (const unsigned char *)data, length);
}

#if CRC64_FOLDING

// As for the CRC-16: 32-bit Windows starts threads with a 4-byte aligned stack, and the
// folding code may keep 16-byte values there.
#if defined(__i386__)
#define CRC64_FOLD_ENTRY __attribute__((target("pclmul,ssse3"), force_align_arg_pointer))
#else
#define CRC64_FOLD_ENTRY __attribute__((target("pclmul,ssse3")))
#endif
#define CRC64_FOLD_HELPER static inline __attribute__((target("pclmul,ssse3"), always_inline))

// Sixteen bytes loaded as they lie: the first byte's lowest bit is the highest power of x,
// so the low half holds the higher 64 powers.
CRC64_FOLD_HELPER __m128i Load(const unsigned char *p)
{
    return _mm_loadu_si128((const __m128i *)p);
}

// Moves a 128-bit value n bits further on: its low half (the higher powers) times x^(n+64),
// its high half times x^n, when k holds those two constants (high half: x^n).
CRC64_FOLD_HELPER __m128i Fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

CRC64_FOLD_ENTRY Crc64 Crc64Folded(Crc64 crc, const void *data, size_t length)
{
    if (length < 32)
        return Crc64Sliced(crc, data, length);
    const unsigned char *p = (const unsigned char *)data;
    const __m128i by128 = _mm_set_epi64x((long long)FoldConstant(128), (long long)FoldConstant(192));

    // Starting from a register value is the same as starting from 0 with that value added
    // to the first eight bytes.
    __m128i x = _mm_xor_si128(Load(p), _mm_set_epi64x(0, (long long)~crc));
    p += 16;
    length -= 16;
    if (length >= 48) {
        // Four independent lanes hide the multiplier's latency; each moves 64 bytes on.
        const __m128i by512 = _mm_set_epi64x((long long)FoldConstant(512), (long long)FoldConstant(576));
        __m128i x1 = Load(p), x2 = Load(p + 16), x3 = Load(p + 32);
        p += 48;
        length -= 48;
        while (length >= 64) {
            x = _mm_xor_si128(Fold(x, by512), Load(p));
            x1 = _mm_xor_si128(Fold(x1, by512), Load(p + 16));
            x2 = _mm_xor_si128(Fold(x2, by512), Load(p + 32));
            x3 = _mm_xor_si128(Fold(x3, by512), Load(p + 48));
            p += 64;
            length -= 64;
        }
        const __m128i by384 = _mm_set_epi64x((long long)FoldConstant(384), (long long)FoldConstant(448));
        const __m128i by256 = _mm_set_epi64x((long long)FoldConstant(256), (long long)FoldConstant(320));
        x = _mm_xor_si128(_mm_xor_si128(Fold(x, by384), Fold(x1, by256)), _mm_xor_si128(Fold(x2, by128), x3));
    }
    while (length >= 16) {
        x = _mm_xor_si128(Fold(x, by128), Load(p));
        p += 16;
        length -= 16;
    }
    // The folded value stands for all the data so far, as sixteen bytes fed from a zero
    // register: the tables finish it, and the bytes that remain after it.
    unsigned char last[16];
    _mm_storeu_si128((__m128i *)last, x);
    unsigned long long v = SlicedRaw(0, last, sizeof last);
    return ~SlicedRaw(v, p, length);
}

#else

Crc64 Crc64Folded(Crc64 crc, const void *data, size_t length)
{
    return Crc64Sliced(crc, data, length);
}

#endif

// Whether Crc64Compute folds: written once by static initialisation, read only afterwards.
static const bool g_canFold = ProcessorCanFoldCrc();

bool Crc64CanFold()
{
    return g_canFold;
}

Crc64 Crc64Compute(Crc64 crc, const void *data, size_t length)
{
    if (g_canFold && length >= 32)
        return Crc64Folded(crc, data, length);
    return Crc64Sliced(crc, data, length);
}
