// tests/fuzz/fuzz_run.cpp: a whole restore, start-up load included, over a set whose files
// are all fuzz-made. The input is three control bytes followed by the executable's
// appended part and up to three piece files (d02 to d04), separated by "#PIECE#":
//   byte 0: bit 0 answers the yes/no questions No; bits 1-2 (value v) make the
//           (1 + v mod 3)-th ask of N1 and of N2 the one answered Cancel; bit 3 makes
//           the destination exist beforehand;
//           bits 4-6 pick a fault: 1 a failed read, 2 a short read, 3 a failed write,
//           4 a short write, 5 a full disk;
//   byte 1: the call the fault hits (1 to 256), or the disk size in 64-byte units;
//   byte 2: the bytes a short read or write delivers, or a failed write lets through
//           (times 8).
// The run is compared with the reference.
#include <string.h>

#include "format/piece.h"
#include "fuzz_common.h"

namespace {

const char kSeparator[] = "#PIECE#";
const size_t kSeparatorLength = sizeof kSeparator - 1;
const int kMaxLaterPieces = 3;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string exe = ScratchDir() + "/Data.exe";
    static const std::string destination = ScratchDir() + "/restored.out";
    if (size < 3)
        return 0;
    const uint8_t flags = data[0], nth = data[1], bytes = data[2];
    data += 3;
    size -= 3;

    // The parts between separators.
    std::vector<std::pair<const uint8_t *, size_t>> parts;
    const uint8_t *start = data, *end = data + size;
    for (const uint8_t *p = data; (int)parts.size() < kMaxLaterPieces && p + kSeparatorLength <= end;) {
        if (memcmp(p, kSeparator, kSeparatorLength) == 0) {
            parts.push_back({start, (size_t)(p - start)});
            p += kSeparatorLength;
            start = p;
        } else {
            p++;
        }
    }
    parts.push_back({start, (size_t)(end - start)});

    ModelSet set;
    PutFile(exe, parts[0].first, parts[0].second, kFirstPieceOffset);
    set.exe = ModelFileOf(parts[0].first, parts[0].second, kFirstPieceOffset);
    for (int piece = 2; piece < 2 + kMaxLaterPieces; piece++) {
        std::string path = PieceFilePath(exe, piece);
        if ((size_t)piece - 1 < parts.size()) {
            PutFile(path, parts[piece - 1].first, parts[piece - 1].second);
            set.later.push_back(ModelFileOf(parts[piece - 1].first, parts[piece - 1].second));
        } else {
            RemoveFile(path);
        }
    }
    set.destinationExists = (flags & 8) != 0;
    if (set.destinationExists) {
        const uint8_t old[] = "an older file of the same name, longer than some restores";
        PutFile(destination, old, sizeof old);
        set.oldDestination.assign(old, old + sizeof old);
    } else {
        RemoveFile(destination);
    }

    RunRequest request;
    request.ownPath = exe;
    request.destination = destination;
    request.policy.yesNo = (flags & 1) ? IDNO : IDYES;
    request.policy.maxAsks = 1 + (flags >> 1 & 3) % 3;
    ModelFaults faults;
    const DWORD call = (DWORD)nth + 1, count = (DWORD)bytes * 8;
    switch (flags >> 4 & 7) {
    case 1:
        faults.failRead = call;
        request.beforeLoad = [call] { ShimFailReadFile((int)call); };
        break;
    case 2:
        faults.shortRead = call;
        faults.shortReadBytes = count;
        request.beforeLoad = [call, count] { ShimShortReadFile((int)call, count); };
        break;
    case 3:
        faults.failWrite = call;
        faults.failWriteFirst = count;
        request.beforeLoad = [call, count] { ShimFailWriteFile((int)call, count); };
        break;
    case 4:
        faults.shortWrite = call;
        faults.shortWriteBytes = count;
        request.beforeLoad = [call, count] { ShimShortWriteFile((int)call, count); };
        break;
    case 5:
        faults.diskBytes = (long long)nth * 64;
        request.beforeLoad = [nth] { ShimSetFullDisk((long long)nth * 64); };
        break;
    }
    RunResult run = RunRestore(request);
    ModelOutcome model = ModelRestore(set, request.policy, faults);
    std::string difference = CompareWithModel(run, model, exe, destination);
    if (!difference.empty())
        Disagree("fuzz_run", difference);
    return 0;
}
