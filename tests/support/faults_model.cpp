// tests/support/faults_model.cpp: the reference run over files in memory. It counts
// every read and write call the way the program makes them, so that the stand-in's fault
// switches can be modelled by number.
#include "support/faults_model.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "format/crc64.h"
#include "format/piece.h"
#include "ui/state.h"

namespace {

const long long kOffset = 53248;
const long long kShortSizeLimit = 0x80000000LL;
const DWORD kBlock = 1024;
const int kSearchBlocks = 100;
const char kMarker[] = "-PQ3-";

// A file opened for reading: its bytes and a position that may lie beyond the end.
struct Reader {
    const ModelBytes *bytes;
    long long position;
};

class Model {
public:
    Model(const ModelSet &set, const AnswerPolicy &policy, const ModelFaults &faults)
        : set_(set), policy_(policy), faults_(faults)
    {
    }

    ModelOutcome Run()
    {
        if (!Load() || set_.loadOnly)
            return out_;
        out_.ran = true;
        out_.state = Restore() ? kRunIdle : kRunStopped;
        Finish();
        return out_;
    }

private:
    // One ReadFile: what arrives, with the fault switches applied. A failed call
    // delivers nothing, which every caller treats like the end of the file.
    DWORD Read(Reader &file, unsigned char *to, DWORD count)
    {
        DWORD call = ++out_.readCalls;
        if (call == faults_.failRead)
            return 0;
        if (call == faults_.shortRead && faults_.shortReadBytes < count)
            count = faults_.shortReadBytes;
        long long size = (long long)file.bytes->size();
        long long available = file.position < size ? size - file.position : 0;
        DWORD got = (long long)count < available ? count : (DWORD)available;
        if (got > 0)
            memcpy(to, file.bytes->data() + file.position, got);
        file.position += got;
        return got;
    }

    // One WriteFile to the destination; false when the program must report a failure.
    bool Write(const unsigned char *from, DWORD count)
    {
        DWORD call = ++out_.writeCalls;
        if (call == faults_.failWrite) {
            DWORD first = faults_.failWriteFirst < count ? faults_.failWriteFirst : count;
            out_.destination.insert(out_.destination.end(), from, from + first);
            return false;
        }
        DWORD put = count;
        if (call == faults_.shortWrite && faults_.shortWriteBytes < put)
            put = faults_.shortWriteBytes;
        if (faults_.diskBytes >= 0 && put > 0 && (long long)out_.destination.size() + put > faults_.diskBytes)
            return false;
        out_.destination.insert(out_.destination.end(), from, from + put);
        return put == count;
    }

    long long SizeInteger(Reader &file)
    {
        unsigned char b[4];
        if (Read(file, b, 4) < 4)
            return -1;
        unsigned long long first = (unsigned long long)b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
        if (first < 0x80000000ULL)
            return (long long)first;
        if (Read(file, b, 4) < 4)
            return -1;
        unsigned long long second = (unsigned long long)b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
        unsigned long long stored = (first - 0x80000000ULL) * 0x100000000ULL + second;
        if (stored > 0x7FFFFFFFFFFFFFFFULL - 0x80000000ULL)
            return -1;
        return (long long)(stored + 0x80000000ULL);
    }

    LONG LengthInteger(Reader &file)
    {
        unsigned char b;
        if (Read(file, &b, 1) < 1)
            return -1;
        if (b < 0x80)
            return b;
        LONG high = b - 0x80;
        if (Read(file, &b, 1) < 1)
            return -1;
        return high * 256 + b + 128;
    }

    void Message(Box kind, int piece) { out_.messages.push_back(ModelMessage{kind, piece}); }

    // The first-piece header read of the start-up load.
    bool Load()
    {
        Reader file{&set_.exe.bytes, kOffset + 6};
        out_.totalSize = SizeInteger(file);
        file.position += 1;
        out_.firstPieceLength = SizeInteger(file);
        Read(file, out_.setId, 2);
        char name[kNameHolderSize] = {0};
        for (;;) {
            unsigned char tag;
            if (Read(file, &tag, 1) < 1)
                return Damaged();
            if (tag == 0)
                break;
            LONG length = LengthInteger(file);
            if (length < 0)
                return Damaged();
            if (tag == 1) {
                if (length > kNameHolderSize - 1)
                    return Damaged();
                Read(file, (unsigned char *)name, (DWORD)length);
                name[length] = 0;
            } else if (tag == 3) {
                unsigned char stamp[6] = {(unsigned char)out_.year, (unsigned char)(out_.year >> 8),
                                          (unsigned char)out_.packedTime, (unsigned char)(out_.packedTime >> 8),
                                          (unsigned char)(out_.packedTime >> 16),
                                          (unsigned char)(out_.packedTime >> 24)};
                Read(file, stamp, 6);
                out_.year = (WORD)(stamp[0] | stamp[1] << 8);
                out_.packedTime = (DWORD)stamp[2] | (DWORD)stamp[3] << 8 | (DWORD)stamp[4] << 16 |
                                  (DWORD)stamp[5] << 24;
            } else if (tag == kDataCheckTag && length == kDataCheckLength) {
                firstCheck_ = DataCheck(file, &firstCheckValue_);
            } else {
                file.position += length;
            }
        }
        out_.name = name;
        if (!IsPlainFileName(name) || out_.totalSize < 0)
            return Damaged();
        if (file.position >= 0xFFFFFFFFLL) {
            Message(Box::InfoFailed, 0);
            return false;
        }
        if (file.position - kOffset > 0x7FFFFFFFLL)
            return Damaged();
        out_.headerLength = (LONG)(file.position - kOffset);
        size_t dot = out_.name.rfind('.');
        if (dot != std::string::npos) {
            out_.extension = out_.name.substr(dot + 1);
            for (char &c : out_.extension)
                if (c >= 'A' && c <= 'Z')
                    c = (char)(c - 'A' + 'a');
        }
        out_.loaded = true;
        return true;
    }

    // A data-check record's payload, read in one call: whether all eight bytes arrived.
    bool DataCheck(Reader &file, Crc64 *value)
    {
        unsigned char bytes[kDataCheckLength];
        if (Read(file, bytes, kDataCheckLength) != (DWORD)kDataCheckLength)
            return false;
        *value = 0;
        for (int i = kDataCheckLength - 1; i >= 0; i--)
            *value = *value << 8 | bytes[i];
        return true;
    }

    // Whether the piece just copied fails a check: its check value, read first, or the
    // CRC-64 of its data-check record.
    bool PieceFails()
    {
        const bool badCrc16 = CheckValue() != crc_;
        return badCrc16 || (check_ && crc64_ != checkValue_);
    }

    bool Damaged()
    {
        Message(Box::Damaged, 1);
        return false;
    }

    static WORD Crc(WORD crc, const unsigned char *data, DWORD count)
    {
        for (DWORD i = 0; i < count; i++) {
            crc ^= (WORD)(data[i] << 8);
            for (int bit = 0; bit < 8; bit++)
                crc = (WORD)(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
        }
        return crc;
    }

    WORD CheckValue()
    {
        unsigned char b[2] = {0, 0};
        Read(source_, b, 2);
        return (WORD)(b[0] | b[1] << 8);
    }

    void Progress()
    {
        int position = 100;
        if (out_.totalSize != 0)
            position = (int)(((double)out_.totalSize - (double)remainingTotal_) * 100.0 / (double)out_.totalSize);
        if (position != lastPosition_) {
            lastPosition_ = position;
            out_.progress.push_back(position);
        }
    }

    bool Restore()
    {
        remainingTotal_ = out_.totalSize;
        out_.progress.push_back(0);
        out_.destination = set_.oldDestination;
        source_ = Reader{&set_.exe.bytes, kOffset + out_.headerLength};
        remainder_ = out_.firstPieceLength - out_.headerLength;
        check_ = firstCheck_;
        checkValue_ = firstCheckValue_;
        if (set_.destinationExists) {
            Message(Box::W2, 0);
            if (policy_.yesNo == IDNO)
                return false;
        }
        out_.destination.clear();
        for (;;) {
            DWORD count = remainder_ >= kBlock ? kBlock : remainder_ > 0 ? (DWORD)remainder_ : 0;
            if ((long long)count > remainingTotal_)
                count = remainingTotal_ > 0 ? (DWORD)remainingTotal_ : 0;
            if (count > 0) {
                unsigned char block[kBlock];
                if (Read(source_, block, count) != count) {
                    Message(Box::W4, piece_);
                    return false;
                }
                if (!Write(block, count)) {
                    Message(Box::WriteFailed, 0);
                    return false;
                }
                crc_ = Crc(crc_, block, count);
                if (check_)
                    crc64_ = Crc64Compute(crc64_, block, count);
                remainder_ -= count;
                remainingTotal_ -= count;
            }
            Progress();
            if (remainingTotal_ <= 0) {
                if (PieceFails())
                    Message(Box::W6, piece_);
                return true;
            }
            if (remainder_ > 0)
                continue;
            if (PieceFails()) {
                Message(Box::W5, piece_);
                if (policy_.yesNo == IDNO)
                    return false;
            }
            crc_ = 0;
            crc64_ = 0;
            check_ = false;
            if (!NextPiece())
                return false;
        }
    }

    // Next-piece discovery for piece_ + 1.
    bool NextPiece()
    {
        piece_++;
        size_t index = (size_t)piece_ - 2;
        const ModelFile *file = index < set_.later.size() ? &set_.later[index] : nullptr;
        for (;;) {
            while (file == nullptr || !file->present) {
                Message(Box::N1, piece_);
                if (++n1Asks_ >= policy_.maxAsks)
                    return false;
            }
            source_ = Reader{&file->bytes, 0};
            if (FindMarker())
                break;
            Message(Box::N2, 0);
            if (++n2Asks_ >= policy_.maxAsks)
                return false;
        }
        long long length = SizeInteger(source_);
        long long count = length - 7 - (length < kShortSizeLimit ? 4 : 8);
        BYTE setId[2] = {0, 0};
        Read(source_, setId, 2);
        count -= LengthInteger(source_) < 128 ? 1 : 2;
        if (memcmp(setId, out_.setId, 2) != 0) {
            Message(Box::N3, piece_);
            if (policy_.yesNo == IDNO)
                return false;
        }
        for (;;) {
            unsigned char tag;
            if (Read(source_, &tag, 1) < 1) {
                Message(Box::W4, piece_);
                return false;
            }
            count -= 1;
            if (tag == 0)
                break;
            LONG recordLength = LengthInteger(source_);
            if (recordLength < 0) {
                Message(Box::W4, piece_);
                return false;
            }
            count -= (recordLength < 128 ? 1 : 2) + (long long)recordLength;
            if (tag == kDataCheckTag && recordLength == kDataCheckLength)
                check_ = DataCheck(source_, &checkValue_);
            else
                source_.position += recordLength;
        }
        remainder_ = count;
        return true;
    }

    // The marker search from the file's first byte: blocks of 1024 bytes stepping by
    // 1020, each read only while it lies below the file size (all 64 bits of it),
    // searched as text.
    bool FindMarker()
    {
        long long size = (long long)source_.bytes->size();
        for (int count = 1; count <= kSearchBlocks; count++) {
            if ((long long)count * kBlock >= size)
                return false;
            long long start = source_.position;
            unsigned char block[kBlock];
            DWORD got = Read(source_, block, kBlock);
            DWORD text = 0;
            while (text < got && block[text] != 0)
                text++;
            for (DWORD i = 0; i + 5 <= text; i++) {
                if (memcmp(block + i, kMarker, 5) == 0) {
                    source_.position = start + i + 5;
                    return true;
                }
            }
            if (got < kBlock)
                return false;
            source_.position -= 4;
        }
        return false;
    }

    static bool ValidDate(WORD year, DWORD packed)
    {
        static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int month = (int)(packed >> 22), day = (int)(packed >> 17 & 0x1F), hour = (int)(packed >> 12 & 0x1F);
        int minute = (int)(packed >> 6 & 0x3F), second = (int)(packed & 0x3F);
        if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
            second > 59)
            return false;
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    }

    void Finish()
    {
        out_.timeApplied = out_.state == kRunIdle && out_.year != 0 && ValidDate(out_.year, out_.packedTime);
    }

    const ModelSet &set_;
    AnswerPolicy policy_;
    ModelFaults faults_;
    ModelOutcome out_;
    Reader source_{nullptr, 0};
    int piece_ = 1;
    long long remainder_ = 0, remainingTotal_ = 0;
    WORD crc_ = 0;
    bool firstCheck_ = false;      // the first piece's header holds a data-check record
    Crc64 firstCheckValue_ = 0;
    bool check_ = false;           // the current piece's header holds one
    Crc64 checkValue_ = 0;
    Crc64 crc64_ = 0;              // CRC-64 of the current piece's data copied so far
    int lastPosition_ = 0;
    int n1Asks_ = 0, n2Asks_ = 0;
};

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return text;
}

ModelBytes ReadWhole(const std::string &path, bool *exists)
{
    ModelBytes bytes;
    FILE *file = fopen(path.c_str(), "rb");
    *exists = file != NULL;
    if (file == NULL)
        return bytes;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(file);
    return bytes;
}

std::string Describe(const std::vector<ModelMessage> &messages)
{
    std::string text;
    for (const ModelMessage &message : messages)
        text += (text.empty() ? "" : " ") + std::string(BoxName(message.kind)) +
                (message.piece ? "(" + std::to_string(message.piece) + ")" : "");
    return text.empty() ? "(none)" : text;
}

} // namespace

ModelOutcome ModelRestore(const ModelSet &set, const AnswerPolicy &policy, const ModelFaults &faults)
{
    return Model(set, policy, faults).Run();
}

std::string GroupedReference(long long value)
{
    char digits[32];
    snprintf(digits, sizeof digits, "%lld", value);
    std::string text = digits, grouped;
    for (size_t i = 0; i < text.size(); i++) {
        if (i > 0 && (text.size() - i) % 3 == 0)
            grouped += ',';
        grouped += text[i];
    }
    return grouped;
}

std::string ProposalFor(const std::string &ownPath, const std::string &name)
{
    std::string upper = Upper(ownPath);
    std::string title = Upper(ownPath.substr(ownPath.rfind('/') + 1));
    size_t at = upper.rfind(title);
    return at == std::string::npos ? upper : upper.substr(0, at) + name;
}

std::string PieceFilePath(const std::string &ownPath, int piece)
{
    char extension[16];
    snprintf(extension, sizeof extension, "d%02d", piece);
    size_t dot = ownPath.rfind('.');
    return dot == std::string::npos ? ownPath + "." + extension : ownPath.substr(0, dot + 1) + extension;
}

std::string CompareWithModel(const RunResult &run, const ModelOutcome &model, const std::string &ownPath,
                             const std::string &destination)
{
    // The messages, each with the file it names.
    std::string shown;
    bool same = run.boxes.size() == model.messages.size();
    for (size_t i = 0; i < run.boxes.size(); i++) {
        shown += (i ? " " : "") + std::string(BoxName(run.kinds[i]));
        if (!same)
            continue;
        const ModelMessage &expected = model.messages[i];
        std::string path = BoxPath(run.boxes[i]);
        std::string wanted = expected.piece == 1   ? ownPath
                             : expected.piece > 1 ? PieceFilePath(ownPath, expected.piece)
                             : expected.kind == Box::W2 || expected.kind == Box::WriteFailed ? destination
                                                                                            : "";
        same = run.kinds[i] == expected.kind && path == wanted;
    }
    if (!same)
        return "messages: program " + (shown.empty() ? std::string("(none)") : shown) + ", model " +
               Describe(model.messages);
    if (run.closed == model.loaded || run.loaded != model.loaded)
        return std::string("start-up load: program ") + (run.closed ? "closed" : "went on") +
               (run.loaded ? " (marked loaded)" : "") + ", model " +
               (model.loaded ? "loaded" : "closed");
    if (!model.loaded)
        return "";

    const RestoreInfo &info = g_restoreInfo;
    if (info.totalSize != model.totalSize || info.firstPieceLength != model.firstPieceLength ||
        info.headerLength != model.headerLength || memcmp(info.setId, model.setId, 2) != 0 ||
        info.year != model.year || info.packedTime != model.packedTime || model.name != info.storedName ||
        model.extension != info.extension)
        return "kept header values differ: total " + std::to_string(info.totalSize) + "/" +
               std::to_string(model.totalSize) + ", piece length " + std::to_string(info.firstPieceLength) + "/" +
               std::to_string(model.firstPieceLength) + ", header length " + std::to_string(info.headerLength) +
               "/" + std::to_string(model.headerLength) + ", name [" + info.storedName + "]/[" + model.name + "]";
    if (run.info != InfoTextFor(model.name, GroupedReference(model.totalSize)))
        return "information text [" + run.info + "]";
    if (run.proposal != ProposalFor(ownPath, model.name))
        return "proposal [" + run.proposal + "], expected [" + ProposalFor(ownPath, model.name) + "]";
    // A load-only request leaves the run out.
    if (!run.ran)
        return "";
    if (run.state != model.state)
        return "run state: program " + std::to_string(run.state) + ", model " + std::to_string(model.state);
    if (run.openFiles != 0)
        return std::to_string(run.openFiles) + " files left open";
    if (run.progress != model.progress) {
        std::string program, expected;
        for (int p : run.progress)
            program += std::to_string(p) + " ";
        for (int p : model.progress)
            expected += std::to_string(p) + " ";
        return "progress: program " + program + "; model " + expected;
    }
    if (run.readCalls != model.readCalls || run.writeCalls != model.writeCalls)
        return "calls: program " + std::to_string(run.readCalls) + " reads, " + std::to_string(run.writeCalls) +
               " writes; model " + std::to_string(model.readCalls) + ", " + std::to_string(model.writeCalls);
    bool exists;
    ModelBytes written = ReadWhole(destination, &exists);
    if (!exists || written != model.destination)
        return "destination: " + std::to_string(written.size()) + " bytes" + (exists ? "" : " (missing)") +
               ", model " + std::to_string(model.destination.size());
    return "";
}
