// tests/restore_test.cpp: the restore worker and next-piece discovery, run synchronously
// after the start-up load: the boxes shown in order, the run state the run ends in, the
// destination's bytes and time, the progress positions sent.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "format/crc16.h"
#include "format/crc64.h"
#include "format/piece.h"
#include "format/piecewrite.h"
#include "format/recovery.h"
#include "restore/mark.h"
#include "shim_testing.h"
#include "support/program.h"
#include "ui/state.h"

namespace {

struct Case {
    const char *label;
    const char *counts;                    // data bytes of each piece
    std::vector<std::string> options;      // for parcelon-split
    std::function<void(Scene &)> prepare;  // after the split, before the start-up load
    std::vector<int> answers;
    std::vector<std::string> boxes;
    LONG state;
    long long kept;
    Stamp stamp;
    std::vector<int> progress = {};        // every PBM_SETPOS, when given
};

void PutByte(const std::string &path, long offset, unsigned char byte)
{
    Bytes bytes = ReadFileBytes(path);
    bytes.at(offset) = byte;
    WriteFileBytes(path, bytes);
}

// Moves the set's files to folder/name (folder relative to the scene's folder).
void MoveSet(Scene &s, const std::string &folder, const std::string &name)
{
    std::string exe = s.exe, d02 = s.Piece(2);
    s.exe = (folder.empty() ? s.dir.Path() : s.dir.MakeFolder(folder)) + "/" + name;
    ASSERT_EQ(rename(exe.c_str(), s.exe.c_str()), 0);
    ASSERT_EQ(rename(d02.c_str(), s.Piece(2).c_str()), 0);
}

void Away(Scene &s)
{
    rename(s.Piece(2).c_str(), (s.Piece(2) + ".away").c_str());
}

// Piece 2 without the marker its header needs: a zero byte at offset 100 hides it.
void HideMarker(Scene &s)
{
    PutByte(s.Piece(2), 100, 0);
}

std::function<void(Scene &)> Cut(long long size)
{
    return [size](Scene &s) { TruncateFile(s.Piece(2), size); };
}

const int kRetry = IDRETRY;

// Sets with a recovery file: pieces of 2000, 3000 and 1500 data bytes.
const char kThree[] = "2000,3000,1500";
const std::vector<std::string> kRecovery = {"--recovery"};
// Four pieces of unequal, odd and even lengths, with two recovery files.
const char kFour[] = "2001,3000,1500,1503";
const std::vector<std::string> kTwoRows = {"--recovery=2"};
// 70 pieces of 1100 to 1169 bytes: the rebuild reads the table 64 entries at a time.
const std::string kSeventy = [] {
    std::string counts = "1100";
    for (int i = 1; i < 70; i++)
        counts += "," + std::to_string(1100 + i);
    return counts;
}();

void Remove(Scene &s, int piece)
{
    remove(s.Piece(piece).c_str());
}

void Flip(const std::string &path, long offset, unsigned char bits)
{
    Bytes bytes = ReadFileBytes(path);
    bytes.at(offset) ^= bits;
    WriteFileBytes(path, bytes);
}

// A later piece's data begin after its 13 header bytes; the first piece's data end two
// bytes before the executable does.
const long kLaterData = 13;

// Changes the recovery file and seals its header check again: a sound header that says
// something else.
void Reseal(Scene &s, long offset, unsigned char bits)
{
    std::string path = s.Piece(0);
    Flip(path, offset, bits);
    Bytes f = ReadFileBytes(path);
    size_t nameLength = f[38] | f[39] << 8, parity = 0;
    for (int i = 7; i >= 0; i--)
        parity = parity << 8 | f[24 + i];
    Crc64 crc = Crc64Compute(0, f.data(), 48);
    crc = Crc64Compute(crc, f.data() + 56, nameLength);
    crc = Crc64Compute(crc, f.data() + kRecoveryParityOffset + parity, f.size() - kRecoveryParityOffset - parity);
    for (int i = 0; i < 8; i++)
        f[48 + i] = (unsigned char)(crc >> (8 * i));
    WriteFileBytes(path, f);
}

// The first piece rewritten to state a total size of 5 GiB over the same 3000 data bytes,
// as a set of that size would begin; no later piece exists.
void FiveGiBTotal(Scene &s)
{
    Bytes exe = ReadFileBytes(s.exe);
    exe.resize(kFirstPieceOffset);
    FirstPieceFields fields = {};
    fields.totalSize = 5LL << 30;
    fields.dataCount = 3000;
    fields.name = "sample.txt";
    fields.nameLength = 10;
    BYTE header[64];
    long long pieceLength;
    int length = BuildFirstPieceHeader(header, sizeof header, &fields, &pieceLength);
    ASSERT_GT(length, 0);
    exe.insert(exe.end(), header, header + length);
    exe.insert(exe.end(), s.content.begin(), s.content.begin() + 3000);
    BYTE check[2];
    PutCheckValue(check, (WORD)Crc16Update(s.content.data(), 3000, 0));
    exe.insert(exe.end(), check, check + 2);
    WriteFileBytes(s.exe, exe);
}

// The scene's folder as a volume with this many bytes free and this file system.
std::function<void(Scene &)> Volume(long long available, const char *fileSystem, bool fiveGiB = false,
                                    bool oldFile = false)
{
    return [=](Scene &s) {
        if (fiveGiB)
            FiveGiBTotal(s);
        if (oldFile)
            s.PutOldFile(); // 3 bytes
        ShimSetVolume(s.dir.Path().c_str(), available, fileSystem);
    };
}

const Case kCases[] = {
    // Finished: the whole file with its stored time, run state 0.
    {"single piece", "3000", {}, nullptr, {}, {}, kRunIdle, 3000, kStored, {0, 34, 68, 100}},
    {"three pieces", "2000,1500,1500", {}, nullptr, {}, {}, kRunIdle, 5000, kStored},
    {"worked example", "2000,3000", {}, nullptr, {}, {}, kRunIdle, 5000, kStored, {0, 20, 40, 60, 80, 100}},
    {"full blocks only", "2048,3072", {}, nullptr, {}, {}, kRunIdle, 5120, kStored, {0, 20, 40, 60, 80, 100}},
    {"tails of 1 to 1023 bytes", "1,1023,1025", {}, nullptr, {}, {}, kRunIdle, 2049, kStored, {0, 49, 99, 100}},
    {"first piece without data", "0,5000", {}, nullptr, {}, {}, kRunIdle, 5000, kStored},
    {"later piece without data", "2000,0,3000", {"--garbage", "2:1010"}, nullptr, {}, {}, kRunIdle, 5000, kStored},
    {"overwrite after yes", "3000", {}, [](Scene &s) { s.PutOldFile(); }, {IDYES}, {"W2[dest]"}, kRunIdle, 3000, kStored},
    {"bad check forced on", "2000,3000", {"--bad-crc", "1"}, nullptr, {IDYES}, {"W5[exe]"}, kRunIdle, 5000, kStored},
    {"bad check of the last piece", "2000,3000", {"--bad-crc", "2"}, nullptr, {}, {"W6[d02]"}, kRunIdle, 5000, kStored},
    {"missing piece put in place after the second ask", "2000,3000", {},
     [](Scene &s) {
         Away(s);
         s.onBox = [&s](const std::string &) {
             if (ShimMessageBoxes().size() == 1)
                 rename((s.Piece(2) + ".away").c_str(), s.Piece(2).c_str());
         };
     },
     {IDOK, IDOK}, {"N1[d02]", "N1[d02]"}, kRunIdle, 5000, kStored},
    {"foreign piece forced in", "2000,3000", {"--set-id", "1A2B", "--set-id-for", "2=BEEF"}, nullptr, {IDYES},
     {"N3[d02]"}, kRunIdle, 5000, kStored},
    {"marker at 1021 found in block 2", "2000,3000", {"--garbage", "2:1021"}, nullptr, {}, {}, kRunIdle, 5000, kStored},
    {"marker at 101999 found in block 100", "2000,3000", {"--garbage", "2:101999"}, nullptr, {}, {}, kRunIdle, 5000, kStored},
    {"retry reads the replaced piece", "2000,3000", {"--garbage", "2:500"},
     [](Scene &s) {
         Bytes sound = ReadFileBytes(s.Piece(2));
         HideMarker(s);
         s.onBox = [&s, sound](const std::string &) { WriteFileBytes(s.Piece(2), sound); };
     },
     {kRetry}, {"N2"}, kRunIdle, 5000, kStored},
    {"piece file of 4 GiB and more", "2000,3000", {}, Cut((1LL << 32) + 1000), {}, {}, kRunIdle, 5000, kStored},
    // Windows finds a file whatever the case of its name's letters; two such names are none.
    {"piece name in capitals", "2000,3000", {}, [](Scene &s) { rename(s.Piece(2).c_str(), s.dir.File("DATA.D02").c_str()); },
     {}, {}, kRunIdle, 5000, kStored},
    {"two piece names that differ only in case", "2000,3000", {},
     [](Scene &s) {
         WriteFileBytes(s.dir.File("DATA.D02"), ReadFileBytes(s.Piece(2)));
         rename(s.Piece(2).c_str(), s.dir.File("data.D02").c_str());
     },
     {IDCANCEL}, {"N1[d02]"}, kRunStopped, 2000, kNow},
    {"own path without a dot", "2000,3000", {}, [](Scene &s) { MoveSet(s, "", "Data"); }, {}, {}, kRunIdle, 5000, kStored},
    {"folder of 200 characters", "2000,3000", {}, [](Scene &s) { MoveSet(s, std::string(200, 'f'), "Data.exe"); },
     {}, {}, kRunIdle, 5000, kStored},
    {"total size 0", "0", {}, nullptr, {}, {}, kRunIdle, 0, kStored, {0, 100}},
    {"year 0 keeps the file system's time", "3000", {"--time", "0000-01-01T00:00:00"}, nullptr, {}, {}, kRunIdle, 3000, kNow},
    {"invalid date keeps the file system's time", "3000", {},
     [](Scene &s) {
         ASSERT_EQ(ReadFileBytes(s.exe).at(kFirstPieceOffset + 31), 0xE8); // the year 2024 of sample.txt's set
         PutByte(s.exe, kFirstPieceOffset + 36, 0xFF);                       // month 1020 and more
     },
     {}, {}, kRunIdle, 3000, kNow},

    // Stopped: run state -1, what was written stays.
    {"overwrite refused", "3000", {}, [](Scene &s) { s.PutOldFile(); }, {IDNO}, {"W2[dest]"}, kRunStopped, kOldFile, kNow},
    {"folder as destination", "3000", {}, [](Scene &s) { s.dest = s.dir.MakeFolder("restored"); }, {IDYES},
     {"W2[dest]", "W3"}, kRunStopped, kFolder, kNow},
    {"uncreatable destination", "3000", {}, [](Scene &s) { s.dest = s.dir.File("missing/restored.bin"); }, {}, {"W3"},
     kRunStopped, kAbsent, kNow},
    {"own file gone at the start", "3000", {},
     [](Scene &s) { s.beforeRun = [&s] { rename(s.exe.c_str(), (s.exe + ".away").c_str()); }; }, {}, {"W1"},
     kRunStopped, kAbsent, kNow},
    {"data cut short", "2000,3000", {}, Cut(13 + 2500), {}, {"W4[d02]"}, kRunStopped, 4048, kNow},
    {"later header cut short", "2000,3000", {"--garbage", "2:1015"}, Cut(1027), {}, {"W4[d02]"}, kRunStopped, 2000, kNow},
    {"header cut in the set identifier: N3 first, no", "2000,3000", {"--set-id", "1A2B", "--garbage", "2:1015"},
     Cut(1025), {IDNO}, {"N3[d02]"}, kRunStopped, 2000, kNow},
    {"header cut in the set identifier: N3 first, yes", "2000,3000", {"--set-id", "1A2B", "--garbage", "2:1015"},
     Cut(1025), {IDYES}, {"N3[d02]", "W4[d02]"}, kRunStopped, 2000, kNow},
    {"foreign piece refused", "2000,3000", {"--set-id", "1A2B", "--set-id-for", "2=BEEF"}, nullptr, {IDNO}, {"N3[d02]"},
     kRunStopped, 2000, kNow},
    {"bad check refused", "2000,3000", {"--bad-crc", "1"}, nullptr, {IDNO}, {"W5[exe]"}, kRunStopped, 2000, kNow},
    {"missing piece cancelled", "2000,3000", {}, Away, {IDCANCEL}, {"N1[d02]"}, kRunStopped, 2000, kNow},
    {"piece file of 1024 bytes", "2000,3000", {}, Cut(1024), {IDCANCEL}, {"N2"}, kRunStopped, 2000, kNow},
    {"marker beyond offset 101999", "2000,3000", {"--garbage", "2:102000"}, nullptr, {IDCANCEL}, {"N2"}, kRunStopped, 2000, kNow},
    {"zero byte hides the marker", "2000,3000", {"--garbage", "2:500"}, HideMarker, {IDCANCEL}, {"N2"}, kRunStopped, 2000, kNow},
    {"retry on a piece gone asks for it", "2000,3000", {"--garbage", "2:500"},
     [](Scene &s) {
         HideMarker(s);
         s.onBox = [&s](const std::string &name) {
             if (name == "N2")
                 remove(s.Piece(2).c_str());
         };
     },
     {kRetry, IDCANCEL}, {"N2", "N1[d02]"}, kRunStopped, 2000, kNow},
    {"disk full", "2000,3000", {}, [](Scene &) { ShimSetFullDisk(3000); }, {}, {"DiskFull[dest]"}, kRunStopped, 2000, kNow},
    {"failed write", "2000,3000", {}, [](Scene &) { ShimFailWriteFile(2, 100); }, {}, {"DiskFull[dest]"}, kRunStopped, 1124, kNow},
    {"short write", "2000,3000", {}, [](Scene &) { ShimShortWriteFile(3, 10); }, {}, {"DiskFull[dest]"}, kRunStopped, 2010, kNow},
    // The last bytes are lost when they go out (all of them here: they fit in one buffer):
    // at the time stamp, which leaves the failure to the close, or at the close itself.
    {"failed close", "2000,3000", {}, [](Scene &) { ShimFailFlush(1); }, {}, {"DiskFull[dest]"}, kRunStopped, 0, kStored},
    {"failed close without a time stamp", "3000", {"--time", "0000-01-01T00:00:00"}, [](Scene &) { ShimFailFlush(1); },
     {}, {"DiskFull[dest]"}, kRunStopped, 0, kNow},
    // The bytes are all written and the time set, but the disk does not confirm them.
    {"failed flush", "2000,3000", {}, [](Scene &) { ShimFailFlushFileBuffers(1); }, {}, {"DiskFull[dest]"}, kRunStopped,
     5000, kStored},
    {"read fault", "2000,3000", {}, [](Scene &s) { s.beforeRun = [] { ShimFailReadFile(1); }; }, {}, {"W4[exe]"}, kRunStopped, 0, kNow},
    {"cancel after 30 blocks stops after the next", "102400", {}, [](Scene &s) { s.CancelAt(30); }, {}, {},
     kRunStopped, 31 * 1024, kNow},
    {"cancel in piece 2", "2000,8000", {}, [](Scene &s) { s.CancelAt(50); }, {}, {}, kRunStopped, 2000 + 4 * 1024, kNow},

    // The destination's volume, before anything is created.
    {"FAT volume refuses 4 GiB", "3000", {}, Volume(1LL << 40, "FAT32", true), {}, {"Fat[dest]"}, kRunStopped, kAbsent, kNow},
    {"FAT12 or FAT16 volume refuses 4 GiB", "3000", {}, Volume(1LL << 40, "FAT", true), {}, {"Fat[dest]"}, kRunStopped,
     kAbsent, kNow},
    {"exFAT volume takes 4 GiB", "3000", {}, Volume(1LL << 40, "exFAT", true), {}, {"N1[d02]"}, kRunStopped, 3000, kNow},
    {"file system unknown: no refusal", "3000", {}, Volume(1LL << 40, nullptr, true), {}, {"N1[d02]"}, kRunStopped, 3000,
     kNow},
    {"FAT volume takes less than 4 GiB", "3000", {}, Volume(1LL << 40, "FAT32"), {}, {}, kRunIdle, 3000, kStored},
    {"no room: no leaves nothing", "3000", {}, Volume(2999, "NTFS"), {IDNO}, {"NoRoom(3,000)(2,999)[dest]"},
     kRunStopped, kAbsent, kNow},
    {"no room: yes goes on", "3000", {}, Volume(0, "NTFS"), {IDYES}, {"NoRoom(3,000)(0)[dest]"}, kRunIdle, 3000, kStored},
    {"just room", "3000", {}, Volume(3000, "NTFS"), {}, {}, kRunIdle, 3000, kStored},
    {"free space unknown: no question", "3000", {}, Volume(-1, "NTFS"), {}, {}, kRunIdle, 3000, kStored},
    {"the file overwritten makes room", "3000", {}, Volume(2997, "NTFS", false, true), {IDYES}, {"W2[dest]"}, kRunIdle,
     3000, kStored},
    {"the file overwritten makes too little room", "3000", {}, Volume(2996, "NTFS", false, true), {IDYES, IDNO},
     {"W2[dest]", "NoRoom(2,997)(2,996)[dest]"}, kRunStopped, kOldFile, kNow},

    // With a recovery file: one piece lost or damaged is rebuilt after the last piece.
    {"recovery: a sound set restores as without", kThree, kRecovery, nullptr, {}, {}, kRunIdle, 6500, kStored},
    {"recovery: middle piece missing", kThree, kRecovery, [](Scene &s) { Remove(s, 2); }, {IDYES}, {"R1[d02]"},
     kRunIdle, 6500, kStored, {0, 15, 30, 46, 53, 69, 85, 100}},
    {"recovery: last piece missing", kThree, kRecovery, [](Scene &s) { Remove(s, 3); }, {IDYES}, {"R1[d03]"},
     kRunIdle, 6500, kStored},
    {"recovery: first piece damaged", kThree, kRecovery,
     [](Scene &s) { Flip(s.exe, (long)ReadFileBytes(s.exe).size() - 100, 0x40); }, {IDYES}, {"R2[exe]"}, kRunIdle,
     6500, kStored},
    {"recovery: damaged piece", kThree, kRecovery, [](Scene &s) { Flip(s.Piece(2), kLaterData + 2999, 1); }, {IDYES},
     {"R2[d02]"}, kRunIdle, 6500, kStored},
    // The two changes cancel out in the CRC-16.
    {"recovery: damage only the CRC-64 sees", kThree, kRecovery,
     [](Scene &s) {
         Flip(s.Piece(3), kLaterData + 700, 0x89);
         Flip(s.Piece(3), kLaterData + 702, 0xA1);
     },
     {IDYES}, {"R2[d03]"}, kRunIdle, 6500, kStored},
    {"recovery: piece 3 of 70 missing", kSeventy.c_str(), kRecovery, [](Scene &s) { Remove(s, 3); }, {IDYES},
     {"R1[d03]"}, kRunIdle, 79415, kStored},
    {"recovery: piece cut short", kThree, kRecovery, [](Scene &s) { TruncateFile(s.Piece(2), kLaterData + 2500); },
     {IDYES}, {"R2[d02]"}, kRunIdle, 6500, kStored},
    {"recovery: no to a missing piece asks as without", kThree, kRecovery, [](Scene &s) { Remove(s, 2); },
     {IDNO, IDCANCEL}, {"R1[d02]", "N1[d02]"}, kRunStopped, 2000, kNow},
    {"recovery: no to a piece of another set asks as without", kThree, {"--recovery", "--set-id-for", "2=BEEF"},
     nullptr, {IDNO, IDNO}, {"R2[d02]", "N3[d02]"}, kRunStopped, 2000, kNow},
    {"recovery: a refused rebuild of a missing piece is not offered again", kThree, kRecovery,
     [](Scene &s) { Remove(s, 2); }, {IDNO, IDOK, IDCANCEL}, {"R1[d02]", "N1[d02]", "N1[d02]"}, kRunStopped, 2000, kNow},
    // Piece 2's piece length one less: 2,999 data bytes where the table says 3,000.
    {"recovery: a refused rebuild of a piece of another data count is not offered again", kThree, kRecovery,
     [](Scene &s) { Flip(s.Piece(2), 8, 0x01); }, {IDNO, IDNO}, {"R2[d02]", "W5[d02]"}, kRunStopped, 4999, kNow},
    {"recovery: two pieces lost", kThree, kRecovery, [](Scene &s) { Remove(s, 2), Remove(s, 3); },
     {IDYES, IDCANCEL}, {"R1[d02]", "N1[d03]"}, kRunStopped, 2000, kNow},
    {"recovery file of another set ignored", kThree, kRecovery,
     [](Scene &s) { Reseal(s, 10, 0x01), Remove(s, 2); }, {IDCANCEL}, {"N1[d02]"}, kRunStopped, 2000, kNow},
    {"recovery file with a damaged header ignored", kThree, kRecovery,
     [](Scene &s) { Flip(s.Piece(0), kRecoveryFixedSize, 0x20), Remove(s, 2); }, {IDCANCEL}, {"N1[d02]"},
     kRunStopped, 2000, kNow},
    // The range rebuilt is right, whatever damage lies in the parity data beyond it.
    {"recovery: damaged parity data beyond the rebuilt range", kThree, kRecovery,
     [](Scene &s) { Flip(s.Piece(0), kRecoveryParityOffset + 2500, 1), Remove(s, 3); }, {IDYES}, {"R1[d03]"},
     kRunIdle, 6500, kStored},
    // A rebuild that fails or stops leaves no file of the full size: it ends where the
    // range rebuilt begins.
    {"recovery: damaged parity data in the rebuilt range", kThree, kRecovery,
     [](Scene &s) { Flip(s.Piece(0), kRecoveryParityOffset + 700, 1), Remove(s, 3); }, {IDYES}, {"R1[d03]", "R3[d00]"},
     kRunStopped, 5000, kNow},
    {"recovery: a middle piece's rebuild fails", kThree, kRecovery,
     [](Scene &s) { Flip(s.Piece(0), kRecoveryParityOffset + 10, 1), Remove(s, 2); }, {IDYES}, {"R1[d02]", "R3[d00]"},
     kRunStopped, 2000, kNow},
    {"recovery: cancel during the rebuild", kThree, kRecovery, [](Scene &s) { Remove(s, 3), s.CancelAt(92); },
     {IDYES}, {"R1[d03]"}, kRunStopped, 5000, kNow},
    // Two recovery files: two pieces set aside; a third, damaged, is asked about as without,
    // and the rebuild that reads it back fails rather than give a wrong file.
    {"recovery rows: two pieces lost to two rows, then a third", kFour, kTwoRows,
     [](Scene &s) { Remove(s, 2), Remove(s, 3), Flip(s.Piece(4), (long)ReadFileBytes(s.Piece(4)).size() - 3, 1); },
     {IDYES, IDYES}, {"R1[d02]", "R1[d03]", "W6[d04]", "R3[d00]"}, kRunStopped, 2001, kNow},
    {"recovery rows: NAME.d00 lost, the second row rebuilds", kFour, kTwoRows,
     [](Scene &s) { remove(s.Piece(0).c_str()), Remove(s, 4); }, {IDYES}, {"R1[d04]"}, kRunIdle, 8004, kStored},
    {"recovery rows: a second row of another set is not used", kFour, kTwoRows,
     [](Scene &s) { Flip(s.Piece(0) + ".02", 10, 1), Remove(s, 2), Remove(s, 3); }, {IDYES, IDCANCEL},
     {"R1[d02]", "N1[d03]"}, kRunStopped, 2001, kNow},

    // Every piece with a data-check record: the CRC-64 of its data in its own header.
    {"data check: a sound set restores as without", kThree, {}, [](Scene &s) { s.AddDataChecks(); }, {}, {}, kRunIdle,
     6500, kStored},
    {"data check: a change the CRC-16 misses in the first piece", kThree, {},
     [](Scene &s) { s.AddDataChecks(), s.BlindChange(1, 1500); }, {IDNO}, {"W5[exe]"}, kRunStopped, 2000, kNow},
    {"data check: a change the CRC-16 misses in a middle piece, forced on", kThree, {},
     [](Scene &s) { s.AddDataChecks(), s.BlindChange(2, 0); }, {IDYES}, {"W5[d02]"}, kRunIdle, 6500, kStored},
    {"data check: a change the CRC-16 misses in the last piece", kThree, {},
     [](Scene &s) { s.AddDataChecks(), s.BlindChange(3, 1497); }, {}, {"W6[d03]"}, kRunIdle, 6500, kStored},
    {"data check: a record that disagrees with sound data", kThree, {}, [](Scene &s) { s.AddDataChecks(2); }, {IDNO},
     {"W5[d02]"}, kRunStopped, 5000, kNow},
    {"data check: rebuilt from the recovery file", kThree, kRecovery,
     [](Scene &s) {
         const Bytes original = s.content;
         s.AddDataChecks(), s.BlindChange(2, 10), s.content = original;
     },
     {IDYES}, {"R2[d02]"}, kRunIdle, 6500, kStored},
    // A recovery file whose table states another CRC-64 of the first piece's data than the
    // piece's own record, as one left from an earlier split of the same name, size and time.
    {"data check: a stale recovery file is not taken", kThree, kRecovery,
     [](Scene &s) { s.AddDataChecks(), Reseal(s, kRecoveryParityOffset + 3000 + 8, 0x01); }, {}, {}, kRunIdle, 6500,
     kStored},
};

// Cases print as their label.
void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.label;
}

class Restore : public ::testing::TestWithParam<Case> {};

TEST_P(Restore, Outcome)
{
    const Case &c = GetParam();
    Scene s;
    s.Split(c.counts, c.options);
    if (c.prepare)
        c.prepare(s);
    s.OpenDialog();
    s.Load();
    ASSERT_EQ(s.Boxes(), std::vector<std::string>{}) << "the start-up load failed";
    ShimClearProgressHistory();
    s.Answer(c.answers);
    EXPECT_EQ(s.Run(), c.state);
    EXPECT_EQ(s.Boxes(), c.boxes);
    s.ExpectDestination(c.kept, c.stamp);
    if (!c.progress.empty()) {
        EXPECT_EQ(ShimProgressHistory(), c.progress);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Restore, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return TestName(info.param.label); });

// With three recovery files, every choice of up to three of the set's seven files lost or
// damaged (the executable damaged, a later piece or a recovery file removed) restores
// byte for byte; four pieces lost stop at the fourth's question as without.
TEST(RestoreRows, AnyThreeLossesRebuilt)
{
    const int kFiles = 7; // pieces 1 to 4, then rows 1 to 3
    for (int lost = 0; lost < 1 << kFiles; lost++) {
        const int count = __builtin_popcount(lost);
        if (count > 3 && lost != 0x0F)
            continue;
        SCOPED_TRACE("lost files " + std::to_string(lost));
        Scene s;
        s.Split(kFour, {"--recovery=3"});
        std::vector<int> answers;
        std::vector<std::string> boxes;
        for (int piece = 1; piece <= 4; piece++) {
            if (!(lost & 1 << (piece - 1)))
                continue;
            char name[16];
            snprintf(name, sizeof name, piece == 1 ? "R2[exe]" : "R1[d%02d]", piece);
            if (piece == 1)
                Flip(s.exe, (long)ReadFileBytes(s.exe).size() - 3, 0x04);
            else
                Remove(s, piece);
            boxes.push_back(lost == 0x0F && piece == 4 ? "N1[d04]" : name);
            answers.push_back(lost == 0x0F && piece == 4 ? IDCANCEL : IDYES);
        }
        for (int row = 1; row <= 3; row++)
            if (lost & 1 << (3 + row))
                remove((s.Piece(0) + (row == 1 ? "" : ".0" + std::to_string(row))).c_str());
        s.OpenDialog();
        s.Load();
        s.Answer(answers);
        EXPECT_EQ(s.Run(), lost == 0x0F ? kRunStopped : kRunIdle);
        EXPECT_EQ(s.Boxes(), boxes);
        if (lost != 0x0F)
            s.ExpectDestination(8004, kStored);
    }
}

// A second run in the same process starts from the same first-piece values: the same boxes,
// bytes and positions, also after a run that reached later pieces.
TEST(RestoreAgain, SecondRunGivesTheSameResult)
{
    Scene s;
    s.Split("2000,1500,1500", {"--bad-crc", "1", "--bad-crc", "3"});
    s.OpenDialog();
    s.Load();
    for (int run = 1; run <= 2; run++) {
        SCOPED_TRACE(run);
        remove(s.dest.c_str());
        ShimClearMessageBoxes();
        ShimClearProgressHistory();
        s.Answer({IDYES});
        EXPECT_EQ(s.Run(), kRunIdle);
        EXPECT_EQ(s.Boxes(), (std::vector<std::string>{"W5[exe]", "W6[d03]"}));
        EXPECT_EQ(ShimProgressHistory(), (std::vector<int>{0, 20, 40, 60, 70, 90, 100}));
        s.ExpectDestination(5000, kStored);
    }
}

} // namespace

namespace {

// A mark's text as UTF-16LE with its byte order mark; the text is ASCII but for "\u3042".
std::string Utf16(const std::string &text)
{
    std::string out = "\xFF\xFE";
    for (size_t i = 0; i < text.size(); i++) {
        if (text.compare(i, 6, "\\u3042") == 0) {
            out += "\x42\x30";
            i += 5;
            continue;
        }
        out += text[i];
        out += '\0';
    }
    return out;
}

// A mark whose ZoneId line comes after a long ReferrerUrl line.
std::string LongMark(size_t urlLength, int zone)
{
    return "[ZoneTransfer]\r\nReferrerUrl=https://example.org/" + std::string(urlLength, 'x') + "\r\nZoneId=" +
           std::to_string(zone) + "\r\n";
}

// What the executable's download mark says, as the worker reads it: the zone of the first
// ZoneId in its [ZoneTransfer] section, or -1.
TEST(ZoneMark, ZoneOfItsText)
{
    const struct {
        std::string text;
        bool complete;
        int zone;
    } cases[] = {
        {"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://example.org/\r\n", true, 3},
        {"[ZoneTransfer]\nZoneId=4", true, 4},
        {"\xEF\xBB\xBF[zonetransfer]\r\n  zoneid = 3 \r\n", true, 3},
        {"[Other]\r\nZoneId=3\r\n[ZoneTransfer]\r\nZoneId=1\r\n", true, 1},
        {"[ZoneTransfer]\r\nZoneId=3\r\nZoneId=0\r\n", true, 3},
        {"[ZoneTransfer]\r\nHostUrl=about:internet\r\n", true, -1},
        {"[ZoneTransfer]\r\n[Other]\r\nZoneId=3\r\n", true, -1},
        {"ZoneId=3\r\n", true, -1},
        {"[ZoneTransfer]\r\nZoneId=\r\n", true, -1},
        {"[ZoneTransfer]\r\nZoneId=3a\r\n", true, -1},
        {"[ZoneTransfer]\r\nZoneIdentifier=3\r\n", true, -1},
        {"[ZoneTransfer]\r\nZoneId=3", false, -1},   // the read may have cut "ZoneId=30"
        {"[ZoneTransfer]\r\nZoneId=3\r\nHostU", false, 3},
        {"", true, -1},
        {Utf16("[ZoneTransfer]\r\nHostUrl=https://\\u3042.example/\r\nZoneId=3\r\n"), true, 3},
        {Utf16("[ZoneTransfer]\r\nZoneId=3"), false, -1},
        {LongMark(2000, 4), true, 4},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ZoneOfMark(c.text.data(), c.text.size(), c.complete), c.zone) << c.text;
    }
}

// The mark as the restore carries it over: read whole (up to 64 KiB) from the executable's
// stream, and written as a stream of the restored file only where the volume has streams;
// natively none has them, unless the stand-in keeps them as plain files, as Wine does.
TEST(ZoneMark, CarriedOverWhereStreamsAre)
{
    const struct {
        const char *label;
        bool streams;
        std::string mark;
        bool marked; // the restored file gets the zone 3 mark
    } cases[] = {
        {"UTF-16 mark past 1 KiB", true, Utf16(LongMark(3000, 3)), true},
        {"ZoneId past 64 KiB", true, LongMark(70000, 3), false},
        {"no streams", false, LongMark(10, 3), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Scene s;
        s.Split("3000");
        WriteFileBytes(s.exe + kZoneStream, BytesOf(c.mark));
        ShimSetStreamsAsFiles(c.streams);
        s.OpenDialog();
        s.Load();
        EXPECT_EQ(s.Run(), kRunIdle);
        s.ExpectDestination(3000, kStored);
        const std::string mark = s.dest + kZoneStream;
        if (c.marked) {
            EXPECT_EQ(ReadFileBytes(mark), BytesOf("[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + s.exe + "\r\n"));
        }
        std::vector<std::string> colonNames;
        for (const std::string &name : ListFolder(s.dir.Path()))
            if (name.find(':') != std::string::npos && s.dir.File(name) != s.exe + kZoneStream)
                colonNames.push_back(name);
        EXPECT_EQ(colonNames, c.marked ? std::vector<std::string>{"restored.bin:Zone.Identifier"} : std::vector<std::string>{});
    }
}

} // namespace
