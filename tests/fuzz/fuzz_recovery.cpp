// tests/fuzz/fuzz_recovery.cpp: the recovery file's header read over any bytes, against a
// plain reading of the same bytes in memory. The input is the file's start; what follows a
// "#PARITY#" in it goes to the parity data's offset, with zero bytes in between.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "format/recovery.h"
#include "fuzz_common.h"

namespace {

const char kSeparator[] = "#PARITY#";

unsigned long long Le(const std::vector<uint8_t> &b, size_t at, int width)
{
    unsigned long long v = 0;
    for (int i = width - 1; i >= 0; i--)
        v = v << 8 | b[at + i];
    return v;
}

// The header as the layout states it, or false.
bool Reference(const std::vector<uint8_t> &f, RecoveryHeader *h, std::vector<RecoveryEntry> *table)
{
    if (f.size() < 56 || memcmp(f.data(), "\0PnRec\r\n", 8) != 0 || (Le(f, 8, 2) != 1 && Le(f, 8, 2) != 2))
        return false;
    // Version 2 is a later row: its number and the rows' after the name, its parity data
    // in whole 16-bit symbols.
    const bool later = Le(f, 8, 2) == 2;
    unsigned long long count = Le(f, 12, 4), total = Le(f, 16, 8), parity = Le(f, 24, 8), nameLength = Le(f, 38, 2);
    const unsigned long long rowFields = later ? 4 : 0;
    if (count < 1 || count > 0x7FFFFFFF || total >= 1ULL << 63 || parity > total || nameLength > 259 ||
        f.size() < 56 + nameLength + rowFields)
        return false;
    h->row = 1;
    if (later) {
        h->row = (WORD)Le(f, 56 + nameLength, 2);
        h->rows = (WORD)Le(f, 58 + nameLength, 2);
        if (h->row < 2 || h->row > h->rows || h->rows > 16 || count + h->rows > 65536)
            return false;
    }
    unsigned long long tableAt = 102400 + parity + (later ? parity & 1 : 0);
    if (tableAt > f.size() || (f.size() - tableAt) / 16 < count)
        return false;
    Crc64 crc = Crc64Compute(0, f.data(), 48);
    crc = Crc64Compute(crc, f.data() + 56, nameLength + rowFields);
    crc = Crc64Compute(crc, f.data() + tableAt, count * 16);
    unsigned long long sum = 0, largest = 0;
    for (unsigned long long i = 0; i < count; i++) {
        unsigned long long n = Le(f, tableAt + i * 16, 8);
        if (n > total - sum)
            return false;
        sum += n;
        largest = n > largest ? n : largest;
        table->push_back({(long long)n, Le(f, tableAt + i * 16 + 8, 8)});
    }
    if (sum != total || largest != parity || crc != Le(f, 48, 8))
        return false;
    memcpy(h->setId, f.data() + 10, 2);
    h->pieceCount = (LONG)count;
    h->totalSize = (long long)total;
    h->parityLength = (long long)parity;
    h->year = (WORD)Le(f, 32, 2);
    h->packedTime = (DWORD)Le(f, 34, 4);
    h->nameLength = (int)nameLength;
    memcpy(h->name, f.data() + 56, nameLength);
    h->name[nameLength] = 0;
    h->parityCrc = Le(f, 40, 8);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = ScratchDir() + "/Data.d00";
    const uint8_t *cut = (const uint8_t *)memmem(data, size, kSeparator, sizeof kSeparator - 1);
    size_t head = cut ? (size_t)(cut - data) : size;
    std::vector<uint8_t> file(data, data + head);
    if (cut) {
        file.resize((size_t)kRecoveryParityOffset > head ? (size_t)kRecoveryParityOffset : head, 0);
        file.insert(file.end(), cut + sizeof kSeparator - 1, data + size);
    }
    FILE *out = fopen(path.c_str(), "wb");
    if (out == NULL || fwrite(file.data(), 1, file.size(), out) != file.size() || fclose(out) != 0)
        Disagree("fuzz_recovery", "cannot write " + path);

    RecoveryHeader expected = {}, got;
    std::vector<RecoveryEntry> table;
    bool sound = Reference(file, &expected, &table);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        Disagree("fuzz_recovery", "cannot open " + path);
    bool read = ReadRecoveryHeader(handle, &got) != FALSE;
    if (read != sound) {
        CloseHandle(handle);
        Disagree("fuzz_recovery", read ? "a header the layout refuses was read" : "a sound header was refused");
    }
    if (sound) {
        if (memcmp(got.setId, expected.setId, 2) != 0 || got.pieceCount != expected.pieceCount ||
            got.totalSize != expected.totalSize || got.parityLength != expected.parityLength ||
            got.year != expected.year || got.packedTime != expected.packedTime ||
            got.nameLength != expected.nameLength || strcmp(got.name, expected.name) != 0 ||
            got.parityCrc != expected.parityCrc || got.row != expected.row || got.rows != expected.rows)
            Disagree("fuzz_recovery", "the header's fields differ");
        for (LONG piece = 1; piece <= got.pieceCount && piece <= 64; piece++) {
            RecoveryEntry entry;
            if (!ReadRecoveryEntry(handle, &got, piece, &entry) || entry.dataCount != table[piece - 1].dataCount ||
                entry.crc != table[piece - 1].crc)
                Disagree("fuzz_recovery", "entry " + std::to_string(piece) + " differs");
        }
    }
    CloseHandle(handle);
    return 0;
}
