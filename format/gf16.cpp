// format/gf16.cpp: the field's log and power tables, and what is built on them.
#include "format/gf16.h"

#include <string.h>

#include "format/cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define GF16_SHUFFLES 1
#else
#define GF16_SHUFFLES 0
#endif

static const DWORD kPolynomial = 0x1100B;
static const int kOrder = 65535; // non-zero elements

// s_power[k] = x^k for k below twice the order, so that two logs add without a wrap.
static WORD s_power[2 * kOrder];
static WORD s_log[65536];
static BOOL s_built = FALSE;
// Bytes from which a product table pays for itself.
static const size_t kTableRun = 16384;

void Gf16Build()
{
    if (s_built)
        return;
    DWORD v = 1;
    for (int k = 0; k < kOrder; k++) {
        s_power[k] = (WORD)v;
        s_power[k + kOrder] = (WORD)v;
        s_log[v] = (WORD)k;
        v <<= 1;
        if (v & 0x10000)
            v ^= kPolynomial;
    }
    s_built = TRUE;
}

WORD Gf16Multiply(WORD a, WORD b)
{
    if (a == 0 || b == 0)
        return 0;
    return s_power[s_log[a] + s_log[b]];
}

WORD Gf16Divide(WORD a, WORD b)
{
    if (a == 0)
        return 0;
    return s_power[s_log[a] + kOrder - s_log[b]];
}

WORD Gf16Coefficient(int row, LONG piece)
{
    const WORD y = (WORD)piece;
    return Gf16Divide((WORD)(0xFFFF ^ y), (WORD)((0xFFFF - row) ^ y));
}

#if GF16_SHUFFLES

// 32-bit Windows starts threads with a 4-byte aligned stack, and this code keeps 16-byte
// values there.
#if defined(__i386__)
#define GF16_SHUFFLE_ENTRY __attribute__((target("ssse3"), force_align_arg_pointer, noinline))
#else
#define GF16_SHUFFLE_ENTRY __attribute__((target("ssse3"), noinline))
#endif

// to += c * from over whole 32-byte runs of count; returns the bytes done. A symbol is four
// nibbles; c times each nibble in its place is looked up in a table of 16 low bytes and one
// of 16 high bytes, so sixteen symbols take eight shuffles.
GF16_SHUFFLE_ENTRY static size_t ShuffleMultiplyAdd(BYTE *to, const BYTE *from, size_t count, WORD c)
{
    alignas(16) BYTE tables[8][16];
    for (int nibble = 0; nibble < 4; nibble++)
        for (int v = 0; v < 16; v++) {
            const WORD p = Gf16Multiply(c, (WORD)(v << (4 * nibble)));
            tables[nibble][v] = (BYTE)p;
            tables[4 + nibble][v] = (BYTE)(p >> 8);
        }
    __m128i low[4], high[4];
    for (int k = 0; k < 4; k++) {
        low[k] = _mm_load_si128((const __m128i *)tables[k]);
        high[k] = _mm_load_si128((const __m128i *)tables[4 + k]);
    }
    // Even bytes (the symbols' low bytes) to the lower half, odd ones to the upper.
    const __m128i apart = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m128i nibbles = _mm_set1_epi8(0x0F);
    size_t done = 0;
    for (; done + 32 <= count; done += 32) {
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(from + done)), apart);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(from + done + 16)), apart);
        const __m128i lo = _mm_unpacklo_epi64(a, b), hi = _mm_unpackhi_epi64(a, b);
        const __m128i n[4] = {_mm_and_si128(lo, nibbles), _mm_and_si128(_mm_srli_epi16(lo, 4), nibbles),
                              _mm_and_si128(hi, nibbles), _mm_and_si128(_mm_srli_epi16(hi, 4), nibbles)};
        __m128i pl = _mm_setzero_si128(), ph = _mm_setzero_si128();
        for (int k = 0; k < 4; k++) {
            pl = _mm_xor_si128(pl, _mm_shuffle_epi8(low[k], n[k]));
            ph = _mm_xor_si128(ph, _mm_shuffle_epi8(high[k], n[k]));
        }
        __m128i *out = (__m128i *)(to + done);
        _mm_storeu_si128(out, _mm_xor_si128(_mm_loadu_si128(out), _mm_unpacklo_epi8(pl, ph)));
        _mm_storeu_si128(out + 1, _mm_xor_si128(_mm_loadu_si128(out + 1), _mm_unpackhi_epi8(pl, ph)));
    }
    return done;
}

// Whether the products shuffle: written once by static initialisation, read only afterwards.
static const bool g_shuffles = ProcessorHasSsse3();

#endif

void Gf16MultiplyAdd(BYTE *to, const BYTE *from, size_t count, WORD c)
{
    if (c == 0)
        return;
    if (c == 1) {
        for (size_t i = 0; i < count; i++)
            to[i] ^= from[i];
        return;
    }
#if GF16_SHUFFLES
    if (g_shuffles && count >= 32) {
        const size_t done = ShuffleMultiplyAdd(to, from, count, c);
        to += done;
        from += done;
        count -= done;
    }
#endif
    Gf16MultiplyAddPlain(to, from, count, c);
}

void Gf16MultiplyAddPlain(BYTE *to, const BYTE *from, size_t count, WORD c)
{
    if (c == 0)
        return;
    // Over a long run, c's products of every low byte and every high byte, worked out once,
    // take a symbol in two look-ups and no branch.
    if (count >= kTableRun) {
        WORD low[256], high[256];
        for (int b = 0; b < 256; b++) {
            low[b] = Gf16Multiply(c, (WORD)b);
            high[b] = Gf16Multiply(c, (WORD)(b << 8));
        }
        for (size_t i = 0; i + 1 < count; i += 2) {
            const WORD p = low[from[i]] ^ high[from[i + 1]];
            to[i] ^= (BYTE)p;
            to[i + 1] ^= (BYTE)(p >> 8);
        }
        return;
    }
    const int logC = s_log[c];
    for (size_t i = 0; i + 1 < count; i += 2) {
        const WORD s = (WORD)(from[i] | from[i + 1] << 8);
        if (s == 0)
            continue;
        const WORD p = s_power[s_log[s] + logC];
        to[i] ^= (BYTE)p;
        to[i + 1] ^= (BYTE)(p >> 8);
    }
}

BOOL Gf16Invert(WORD *m, WORD *work, int size)
{
    // Gauss-Jordan: work starts as the identity and takes every step m takes.
    memset(work, 0, sizeof *work * (size_t)size * (size_t)size);
    for (int i = 0; i < size; i++)
        work[i * size + i] = 1;
    for (int col = 0; col < size; col++) {
        int pivot = col;
        while (pivot < size && m[pivot * size + col] == 0)
            pivot++;
        if (pivot == size)
            return FALSE;
        if (pivot != col) {
            for (int k = 0; k < size; k++) {
                WORD t = m[col * size + k];
                m[col * size + k] = m[pivot * size + k];
                m[pivot * size + k] = t;
                t = work[col * size + k];
                work[col * size + k] = work[pivot * size + k];
                work[pivot * size + k] = t;
            }
        }
        const WORD scale = m[col * size + col];
        for (int k = 0; k < size; k++) {
            m[col * size + k] = Gf16Divide(m[col * size + k], scale);
            work[col * size + k] = Gf16Divide(work[col * size + k], scale);
        }
        for (int r = 0; r < size; r++) {
            const WORD f = m[r * size + col];
            if (r == col || f == 0)
                continue;
            for (int k = 0; k < size; k++) {
                m[r * size + k] ^= Gf16Multiply(f, m[col * size + k]);
                work[r * size + k] ^= Gf16Multiply(f, work[col * size + k]);
            }
        }
    }
    memcpy(m, work, sizeof *m * (size_t)size * (size_t)size);
    return TRUE;
}
