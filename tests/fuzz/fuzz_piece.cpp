// tests/fuzz/fuzz_piece.cpp: next-piece discovery and the later-piece header read over any
// piece file: a restore whose first piece is small and sound (600 of 3,600 bytes, set
// identifier "ZQ") and whose second piece file holds the fuzz input; the third piece is
// missing. The run is compared with the reference.
#include <string.h>

#include "format/crc16.h"
#include "format/piece.h"
#include "fuzz_common.h"

namespace {

const int kFirstData = 600;
const int kTotal = 3600;

// The self-restoring executable's first piece: marker, total size, piece length, set
// identifier, a name record, the end tag, the data and the check value.
std::vector<uint8_t> FirstPiece()
{
    const char name[] = "piece.bin";
    std::vector<uint8_t> piece = {'-', 'P', 'Q', '3', '-', 0};
    const uint8_t total[4] = {0, 0, kTotal >> 8, kTotal & 0xFF};
    piece.insert(piece.end(), total, total + 4);
    piece.push_back(0);
    int header = (int)piece.size() + 4 + 2 + 2 + (int)strlen(name) + 1;
    int length = header + kFirstData;
    const uint8_t pieceLength[4] = {0, 0, (uint8_t)(length >> 8), (uint8_t)length};
    piece.insert(piece.end(), pieceLength, pieceLength + 4);
    piece.push_back('Z');
    piece.push_back('Q');
    piece.push_back(1);
    piece.push_back((uint8_t)strlen(name));
    piece.insert(piece.end(), name, name + strlen(name));
    piece.push_back(0);
    WORD crc = 0;
    for (int i = 0; i < kFirstData; i++) {
        uint8_t b = (uint8_t)(i * 7 + 3);
        piece.push_back(b);
        crc = Crc16Compute(crc, &b, 1);
    }
    piece.push_back((uint8_t)crc);
    piece.push_back((uint8_t)(crc >> 8));
    return piece;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string exe = ScratchDir() + "/Data.exe";
    static const std::string second = ScratchDir() + "/Data.d02";
    static const std::string destination = ScratchDir() + "/restored.out";
    static ModelSet set;
    if (!set.exe.present) {
        std::vector<uint8_t> first = FirstPiece();
        PutFile(exe, first.data(), first.size(), kFirstPieceOffset);
        set.exe = ModelFileOf(first.data(), first.size(), kFirstPieceOffset);
        set.later.resize(1);
    }
    PutFile(second, data, size);
    RemoveFile(destination);
    set.later[0] = ModelFileOf(data, size);

    RunRequest request;
    request.ownPath = exe;
    request.destination = destination;
    RunResult run = RunRestore(request);
    ModelOutcome model = ModelRestore(set, request.policy);
    std::string difference = CompareWithModel(run, model, exe, destination);
    if (!difference.empty())
        Disagree("fuzz_piece", difference);
    return 0;
}
