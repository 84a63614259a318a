// format/gf16.cpp: the field's log and power tables, and what is built on them.
#include "format/gf16.h"

#include <string.h>

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

void Gf16MultiplyAdd(BYTE *to, const BYTE *from, size_t count, WORD c)
{
    if (c == 0)
        return;
    if (c == 1) {
        for (size_t i = 0; i < count; i++)
            to[i] ^= from[i];
        return;
    }
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
