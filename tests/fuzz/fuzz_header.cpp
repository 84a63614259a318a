// tests/fuzz/fuzz_header.cpp: the start-up load over any bytes appended at the first-piece
// offset: the first-piece header read, the name check, the kept values, the information
// text with the grouped size, the proposed destination and the extension, each compared
// with the reference.
#include "format/piece.h"
#include "format/text.h"
#include "fuzz_common.h"
#include "ui/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string exe = ScratchDir() + "/Data.exe";
    PutFile(exe, data, size, kFirstPieceOffset);

    RunRequest request;
    request.ownPath = exe;
    request.loadOnly = true;
    RunResult run = RunRestore(request);
    ModelSet set;
    set.exe = ModelFileOf(data, size, kFirstPieceOffset);
    set.loadOnly = true;
    ModelOutcome model = ModelRestore(set, request.policy);
    std::string difference = CompareWithModel(run, model, exe, "");
    if (!difference.empty())
        Disagree("fuzz_header", difference);

    // A name that passed is a plain file name by a check of its own: the destination
    // stays beside the executable.
    if (!run.closed) {
        const std::string name = g_restoreInfo.storedName;
        bool plain = !name.empty() && name != "." && name != "..";
        for (size_t i = 0; i < name.size(); i++) {
            unsigned char c = (unsigned char)name[i];
            if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
                unsigned char trail = i + 1 < name.size() ? (unsigned char)name[++i] : 0;
                plain = plain && trail >= 0x40 && trail != 0x7F && trail <= 0xFC;
            } else {
                plain = plain && c >= 0x20 && c != '/' && c != '\\' && c != ':';
            }
        }
        if (!plain)
            Disagree("fuzz_header", "a stored name that is no plain file name passed: [" + name + "]");
    }

    // The grouping on its own, over every value (negative ones included, which the load
    // never shows).
    if (size >= 8) {
        long long value = 0;
        for (int i = 0; i < 8; i++)
            value = (long long)((unsigned long long)value << 8 | data[i]);
        if (GroupedDecimal(value) != GroupedReference(value))
            Disagree("fuzz_header", "grouped " + std::string(GroupedDecimal(value)) + " for " + std::to_string(value));
    }
    return 0;
}
