// format/crc16.cpp: CRC-16/XMODEM (polynomial 0x1021, most significant bit first,
// start 0, no reflection, no final XOR), eight bytes per step with constant tables.
#include "format/crc16.h"

namespace {

struct CrcTables {
    WORD t[8][256];
};

// t[0] is the usual byte table; t[k][b] is the CRC of byte b followed by k zero bytes,
// so eight table look-ups advance the value over eight bytes at once.
constexpr CrcTables MakeCrcTables()
{
    CrcTables tables{};
    for (int b = 0; b < 256; b++) {
        unsigned v = (unsigned)b << 8;
        for (int i = 0; i < 8; i++)
            v = (v & 0x8000) ? (v << 1) ^ 0x1021 : v << 1;
        tables.t[0][b] = (WORD)v;
    }
    for (int k = 1; k < 8; k++)
        for (int b = 0; b < 256; b++) {
            unsigned prev = tables.t[k - 1][b];
            tables.t[k][b] = (WORD)((prev << 8) ^ tables.t[0][prev >> 8]);
        }
    return tables;
}

constexpr CrcTables kCrc = MakeCrcTables();

} // namespace

static UINT g_crcRegister; // the running CRC; written only by the restore worker's thread

WORD Crc16Compute(WORD start, const void *data, size_t length)
{
    const unsigned char *p = (const unsigned char *)data;
    unsigned v = start;
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

UINT Crc16Update(const void *data, LONG length, int continueFlag)
{
    if (!continueFlag)
        g_crcRegister = 0;
    if (length <= 0)
        return g_crcRegister;
    g_crcRegister = Crc16Compute((WORD)g_crcRegister, data, (size_t)length);
    return g_crcRegister;
}
