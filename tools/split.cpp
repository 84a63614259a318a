// tools/split.cpp: parcelon-split, the split-set writer: cuts a file into a self-restoring
// executable (the stub padded to the first-piece offset, then the first piece) and the
// piece files NAME.d02, NAME.d03, ... beside it, and on request the recovery file NAME.d00.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "format/crc16.h"
#include "format/piece.h"
#include "format/piecewrite.h"
#include "format/gf16.h"
#include "format/recovery.h"
#include "tools/platform.h"

namespace {

// The help text, with the platform's parts between its pieces.
const char kHelpStart[] =
    "Usage: parcelon-split [--stub STUB] (--piece-size N | --data-counts N,N,...)\n"
    "                      [--out DIR] [--base NAME] [options] INPUT\n"
    "\n"
    "Cuts INPUT into a split set that restores itself: DIR/NAME.exe holds the stub,\n"
    "padded with zero bytes to 53,248 bytes, followed by the first piece; every later\n"
    "piece goes into a file of its own, DIR/NAME.d02, DIR/NAME.d03, ..., NAME.d99,\n"
    "NAME.d100, and so on. Every piece's header carries the CRC-64/XZ of its data\n"
    "beside the CRC-16 behind them (a record that readers which do not know it skip).\n"
    "\n"
    "The stub:\n"
    "  --stub STUB            the stub executable, at most 53,248 bytes. Without it the\n";
const char kHelpMiddle[] =
    "\n"
    "Required, one of:\n"
    "  --piece-size N         no file of the set, the executable included, is longer than\n"
    "                         N bytes; every piece but the last is made as full as that\n"
    "                         allows\n"
    "  --data-counts N,N,...  the data bytes of each piece, in order; they must add up to\n"
    "                         the size of INPUT\n"
    "\n"
    "Names:\n"
    "  --out DIR              folder of the set (default: the current folder)\n"
    "  --base NAME            file name of the set without extension (default: the name\n"
    "                         of INPUT without its extension)\n"
    "  --name NAME            the file name stored in the set, under which the file is\n"
    "                         restored (default: the last part of INPUT's path); it must\n"
    "                         be a plain file name of at most 259 bytes in code page 932:\n"
    "                         not empty, not \".\" or \"..\", no \\ / : or control\n"
    "                         characters, no device name such as CON, NUL, COM1 or LPT1,\n"
    "                         alone or before a \".\". Every character needs a form of\n"
    "                         its own in code page 932; the name is converted from\n";
const char kHelpEnd[] =
    "\n"
    "Time stamp (the restored file's last-write time, stored in UTC):\n"
    "  --time YYYY-MM-DDTHH:MM:SS  store this time instead of INPUT's last-write time\n"
    "                         (years 1601 to 9999); the year 0000 stores a record that\n"
    "                         means \"no time stamp\"\n"
    "  --no-time              store no time-stamp record\n"
    "\n"
    "Recovery files:\n"
    "  --recovery[=R]         also write R recovery files (default 1, at most 16):\n"
    "                         DIR/NAME.d00, then NAME.d00.02 up to NAME.d00.R (two digits\n"
    "                         at least). With R of them, any R pieces of the set can be\n"
    "                         rebuilt when they are lost or damaged. Each takes as many\n"
    "                         bytes as the largest piece's data, plus 100 KiB and 16 per\n"
    "                         piece; the pieces themselves are the same with or without\n"
    "                         them, and NAME.d00 is the same whatever R. Recovery files of\n"
    "                         the old set in DIR (in any case of their letters) beyond\n"
    "                         those written are removed with the old set\n"
    "\n"
    "Set identifier (the two bytes that tie the pieces together):\n"
    "  --set-id HEX4          these two bytes in hexadecimal, e.g. 1A2B (default: random)\n"
    "\n"
    "Malformed sets, for tests of the restoring side (PIECE counts from 1, the first\n"
    "piece):\n"
    "  --name-bytes HEX       store these raw bytes (at most 32,895) as the name, without\n"
    "                         any check\n"
    "  --second-name NAME     add a second name record to the first piece\n"
    "  --set-id-for PIECE=HEX4  give one piece the identifier of another set\n"
    "  --extra-record PIECE:TAG:LEN  add a record with tag TAG (1 to 255) and LEN filler\n"
    "                         bytes (0 to 32,895) to that piece's header\n"
    "  --length-int VALUE     the length integer after every later piece's set\n"
    "                         identifier (0 to 32,895, default 0; 128 and more take two\n"
    "                         bytes)\n"
    "  --garbage PIECE:N      put N bytes (no zero bytes) before the marker of that later\n"
    "                         piece's file\n"
    "  --bad-crc PIECE        store a wrong check value after that piece's data\n"
    "  --bad-data-check PIECE  store a wrong CRC-64 in that piece's header\n"
    "  --no-data-check        write no CRC-64 into the pieces' headers, as sets made\n"
    "                         before it\n"
    "\n"
    "  --help                 show this text\n"
    "  --version              show the program's version\n"
    "\n"
    "Refused, with nothing left behind in DIR: no stub (no --stub and none installed), a\n"
    "stub longer than 53,248 bytes, an input that cannot be read, a stored name that is\n"
    "not a plain file name or does not fit code page 932, an output folder that cannot be\n"
    "written, an output that would replace INPUT or STUB, a later piece file of 1,024\n"
    "bytes or less (also when only the low 32 bits of its size are counted; the restoring\n"
    "side does not accept such a file), a piece size too small for the first piece's\n"
    "header, and data counts that do not add up. Files of the same names are replaced\n"
    "only once every file of the new set is complete; when one cannot be, the old set\n"
    "is left as it was.\n"
    "\n"
    "Exit status: 0 when the set was written, 1 on an error, 2 on a wrong command line.\n";

const long long kCheckValueSize = 2;
const long long kSmallestPieceFile = 1025;
// The restoring side takes a piece file's size from its low 32 bits only.
const long long kLow32Bits = 0xFFFFFFFFLL;
const size_t kCopyChunk = 1 << 20;
// Progress lines for inputs from this size on, one per step.
const long long kProgressMinimum = 64LL << 20;
const long long kProgressStep = 256LL << 20;
const BYTE kFillerByte = 'x';
const long long kLargestCount = 0x7FFFFFFFFFFFFFFFLL;
// The years of a time stamp that Windows can apply to a file.
const int kEarliestYear = 1601;
const int kLatestYear = 30827;
// Bounds for piece numbers and garbage that no test set comes near.
const int kLargestPieceNumber = 1000000000;
const long long kLargestGarbage = 1LL << 40;
// Garbage before a later piece's marker: no zero byte (it would hide the marker from the
// restoring side's search) and no "-" (the garbage could end in a piece of the marker).
const char kGarbagePattern[] = "abcdefghijklmnopqrstuvwxyz";

struct ExtraRecordOption {
    int piece;
    BYTE tag;
    LONG length;
};

struct Options {
    std::string stub;
    std::string input;
    std::string outDir = ".";
    std::string base;
    long long pieceSize = -1;
    std::vector<long long> dataCounts;
    bool haveName = false;
    std::string name;
    bool haveNameBytes = false;
    std::string nameBytes;
    bool haveSecondName = false;
    std::string secondName;
    bool haveSetId = false;
    BYTE setId[2] = {0, 0};
    std::map<int, std::string> setIdFor;
    std::vector<ExtraRecordOption> extraRecords;
    LONG lengthInteger = 0;
    std::map<int, long long> garbage;
    std::set<int> badCrc;
    std::set<int> badDataCheck;
    bool dataCheck = true;
    bool haveTime = false;
    struct tm time = {};
    bool noTime = false;
    int recovery = 0; // recovery rows to write
};

// What every piece's header is built from, once the options are checked.
struct SetDescription {
    const Options *options;
    long long totalSize;
    std::string storedName; // code page 932
    bool rawName;           // from --name-bytes: written as it is
    std::string secondName; // code page 932, when --second-name was given
    bool hasTimeStamp;
    WORD year;
    DWORD packedTime;
    BYTE setId[2];
};

std::string FormatText(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(NULL, 0, format, args);
    std::string text(length > 0 ? (size_t)length : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

// printf to stdout or stderr, through the platform's way of showing text.
void Print(FILE *stream, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
void Print(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteText(stream, FormatText(format, args));
    va_end(args);
}

[[noreturn]] void UsageError(const char *format, const char *detail)
{
    Print(stderr, "parcelon-split: ");
    Print(stderr, format, detail);
    Print(stderr, "\nTry 'parcelon-split --help'.\n");
    exit(2);
}

// A whole decimal number of 0 or more, without sign or blanks.
bool ParseCount(const std::string &text, long long *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    *value = strtoll(text.c_str(), NULL, 10);
    return errno == 0;
}

long long CountOption(const char *option, const std::string &text, long long smallest, long long largest)
{
    long long value;
    if (!ParseCount(text, &value) || value < smallest || value > largest)
        UsageError("%s", (std::string(option) + ": '" + text + "' is not a number from " + std::to_string(smallest) +
                          " to " + std::to_string(largest))
                             .c_str());
    return value;
}

bool ParseHex(const std::string &text, std::string *bytes)
{
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2)
        bytes->push_back((char)strtol(text.substr(i, 2).c_str(), NULL, 16));
    return true;
}

std::string SetIdOption(const char *option, const std::string &text)
{
    std::string bytes;
    if (text.size() != 4 || !ParseHex(text, &bytes))
        UsageError("%s", (std::string(option) + ": '" + text + "' is not four hexadecimal digits").c_str());
    return bytes;
}

// Splits "A:B:C" (or "A=B") at every sep.
std::vector<std::string> SplitAt(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

int PieceOption(const char *option, const std::string &text, int smallest)
{
    return (int)CountOption(option, text, smallest, kLargestPieceNumber);
}

bool DaysInMonthOk(int year, int month, int day)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day >= 1 && day <= last;
}

void ParseTime(const std::string &text, struct tm *time)
{
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    bool shaped = text.size() == sizeof kShape - 1;
    for (size_t i = 0; shaped && i < text.size(); i++)
        shaped = kShape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == kShape[i];
    auto field = [&](size_t at, size_t width) { return atoi(text.substr(at, width).c_str()); };
    int year = shaped ? field(0, 4) : 0, month = shaped ? field(5, 2) : 0, day = shaped ? field(8, 2) : 0;
    if (!shaped || month < 1 || month > 12 || !DaysInMonthOk(year, month, day) || field(11, 2) > 23 ||
        field(14, 2) > 59 || field(17, 2) > 59)
        UsageError("--time: '%s' is not a date and time of the form YYYY-MM-DDTHH:MM:SS", text.c_str());
    if (year != 0 && year < kEarliestYear)
        UsageError("--time: '%s' lies before 1601, which Windows cannot apply; the year 0000 means none",
                   text.c_str());
    time->tm_year = year - 1900;
    time->tm_mon = month - 1;
    time->tm_mday = day;
    time->tm_hour = field(11, 2);
    time->tm_min = field(14, 2);
    time->tm_sec = field(17, 2);
}

Options ParseOptions(int argc, char **argv)
{
    Options o;
    bool pieceSizeGiven = false, countsGiven = false, inputGiven = false, optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (inputGiven)
                UsageError("more than one input file: '%s'", arg.c_str());
            o.input = arg;
            inputGiven = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help") {
            WriteText(stdout, std::string(kHelpStart) + kDefaultStubHelp + kHelpMiddle + kNameEncodingHelp + kHelpEnd);
            exit(0);
        }
        if (arg == "--version") {
            Print(stdout, "parcelon-split %s\n", PARCELON_VERSION);
            exit(0);
        }
        if (arg == "--no-time") {
            o.noTime = true;
            continue;
        }
        if (arg == "--recovery") {
            o.recovery = 1;
            continue;
        }
        if (arg == "--no-data-check") {
            o.dataCheck = false;
            continue;
        }
        std::string key = arg, value;
        size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            key = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            UsageError("%s needs a value", arg.c_str());
        }
        const char *k = key.c_str();
        if (key == "--stub") {
            if (value.empty())
                UsageError("%s", "--stub needs a path");
            o.stub = value;
        } else if (key == "--piece-size") {
            o.pieceSize = CountOption(k, value, 1, kLargestCount);
            pieceSizeGiven = true;
        } else if (key == "--data-counts") {
            o.dataCounts.clear();
            for (const std::string &part : SplitAt(value, ','))
                o.dataCounts.push_back(CountOption(k, part, 0, kLargestCount));
            countsGiven = true;
        } else if (key == "--out") {
            o.outDir = value;
        } else if (key == "--base") {
            o.base = value;
        } else if (key == "--name") {
            o.name = value;
            o.haveName = true;
        } else if (key == "--name-bytes") {
            if (!ParseHex(value, &o.nameBytes) || o.nameBytes.size() > (size_t)kMaxRecordLength)
                UsageError("--name-bytes: '%s' is not at most 32,895 bytes in hexadecimal", value.c_str());
            o.haveNameBytes = true;
        } else if (key == "--second-name") {
            o.secondName = value;
            o.haveSecondName = true;
        } else if (key == "--recovery") {
            o.recovery = (int)CountOption(k, value, 1, kMaxRecoveryRows);
        } else if (key == "--set-id") {
            std::string bytes = SetIdOption(k, value);
            memcpy(o.setId, bytes.data(), 2);
            o.haveSetId = true;
        } else if (key == "--set-id-for") {
            std::vector<std::string> parts = SplitAt(value, '=');
            if (parts.size() != 2)
                UsageError("--set-id-for: '%s' is not PIECE=HEX4", value.c_str());
            o.setIdFor[PieceOption(k, parts[0], 1)] = SetIdOption(k, parts[1]);
        } else if (key == "--extra-record") {
            std::vector<std::string> parts = SplitAt(value, ':');
            if (parts.size() != 3)
                UsageError("--extra-record: '%s' is not PIECE:TAG:LEN", value.c_str());
            ExtraRecordOption extra;
            extra.piece = PieceOption(k, parts[0], 1);
            extra.tag = (BYTE)CountOption(k, parts[1], 1, 255);
            extra.length = (LONG)CountOption(k, parts[2], 0, kMaxRecordLength);
            o.extraRecords.push_back(extra);
        } else if (key == "--length-int") {
            o.lengthInteger = (LONG)CountOption(k, value, 0, kMaxRecordLength);
        } else if (key == "--garbage") {
            std::vector<std::string> parts = SplitAt(value, ':');
            if (parts.size() != 2)
                UsageError("--garbage: '%s' is not PIECE:N", value.c_str());
            o.garbage[PieceOption(k, parts[0], 2)] = CountOption(k, parts[1], 0, kLargestGarbage);
        } else if (key == "--bad-crc") {
            o.badCrc.insert(PieceOption(k, value, 1));
        } else if (key == "--bad-data-check") {
            o.badDataCheck.insert(PieceOption(k, value, 1));
        } else if (key == "--time") {
            ParseTime(value, &o.time);
            o.haveTime = true;
        } else {
            UsageError("unknown option '%s'", key.c_str());
        }
    }
    if (!inputGiven || o.input.empty())
        UsageError("%s", "no input file given");
    if (pieceSizeGiven == countsGiven)
        UsageError("%s", "give either --piece-size or --data-counts");
    if (o.haveName && o.haveNameBytes)
        UsageError("%s", "--name and --name-bytes exclude each other");
    if (o.haveTime && o.noTime)
        UsageError("%s", "--time and --no-time exclude each other");
    if (!o.dataCheck && !o.badDataCheck.empty())
        UsageError("%s", "--bad-data-check and --no-data-check exclude each other");
    return o;
}

std::string LastPathPart(const std::string &path)
{
    size_t start = path.size();
    while (start > 0 && !IsPathSeparator(path[start - 1]))
        start--;
    return path.substr(start);
}

std::string ToCodePage932(const std::string &text, const char *what)
{
    std::string result;
    switch (::ToCodePage932(text, &result)) {
    case kNameConverted:
        break;
    case kNameNotText:
        Fail("%s '%s' is not valid %s text", what, text.c_str(), TextEncoding().c_str());
    case kNameNotInCodePage932:
        Fail("%s '%s' cannot be written in code page 932, which the restoring side needs; give the name to "
             "store with --name",
             what, text.c_str());
    }
    return result;
}

// The stored name in code page 932, checked as the restoring side will use it: a file
// name beside the executable.
std::string StoredName(const Options &o)
{
    if (o.haveNameBytes)
        return o.nameBytes;
    std::string text = o.haveName ? o.name : LastPathPart(o.input);
    std::string name = ToCodePage932(text, "the file name");
    if (name.size() > (size_t)kMaxNameLength)
        Fail("the file name '%s' takes %zu bytes in code page 932; at most %d are allowed", text.c_str(), name.size(),
             kMaxNameLength);
    if (!IsPlainFileName(name.c_str()))
        Fail("the file name '%s' is not a plain file name: it is empty, \".\" or \"..\", holds \\, /, : or a "
             "control character, or is a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)",
             text.c_str());
    return name;
}

std::string BaseName(const Options &o)
{
    std::string base = o.base;
    if (base.empty()) {
        base = LastPathPart(o.input);
        size_t dot = base.rfind('.');
        if (dot != std::string::npos && dot > 0)
            base.erase(dot);
    }
    if (base.empty() || base == "." || base == ".." || LastPathPart(base) != base)
        Fail("'%s' cannot name the set's files", base.c_str());
    return base;
}

void SetTimeStamp(const Options &o, const SourceFacts &input, SetDescription *set)
{
    set->hasTimeStamp = false;
    if (o.noTime)
        return;
    UtcTime t;
    if (o.haveTime) {
        t = {o.time.tm_year + 1900, o.time.tm_mon + 1, o.time.tm_mday, o.time.tm_hour, o.time.tm_min, o.time.tm_sec};
    } else if (input.hasTime) {
        t = input.lastWrite;
    } else {
        Print(stderr, "parcelon-split: warning: the input's last-write time cannot be read; no time stamp stored\n");
        return;
    }
    // --time has checked its year; a file's own time may lie anywhere.
    if (!o.haveTime && (t.year < kEarliestYear || t.year > kLatestYear)) {
        Print(stderr, "parcelon-split: warning: the year %d cannot be stored; no time stamp stored\n", t.year);
        return;
    }
    set->hasTimeStamp = true;
    set->year = (WORD)t.year;
    set->packedTime = PackTime(t.month, t.day, t.hour, t.minute, t.second);
}

void RandomSetId(BYTE *setId)
{
    std::string reason;
    if (!RandomBytes(setId, 2, &reason))
        Fail("cannot make a random set identifier: %s", reason.c_str());
}

// The filler of extra records.
const BYTE *Filler()
{
    static std::vector<BYTE> filler((size_t)kMaxRecordLength, kFillerByte);
    return filler.data();
}

// Builds the header of a piece (1 for the first) with dataCount data bytes.
std::vector<BYTE> BuildHeader(const SetDescription &set, int piece, long long dataCount, long long *pieceLength)
{
    const Options &o = *set.options;
    std::vector<HeaderRecord> records;
    // Room for the fixed fields, the name and the time stamp, and each record's tag
    // and length integer.
    size_t capacity = 64 + set.storedName.size() + set.secondName.size();
    bool nameAsRecord = piece == 1 && set.rawName && set.storedName.size() > (size_t)kMaxNameLength;
    if (nameAsRecord)
        records.push_back({kNameTag, (LONG)set.storedName.size(), (const BYTE *)set.storedName.data()});
    for (const ExtraRecordOption &extra : o.extraRecords)
        if (extra.piece == piece)
            records.push_back({extra.tag, extra.length, Filler()});
    if (piece == 1 && o.haveSecondName)
        records.push_back({kNameTag, (LONG)set.secondName.size(), (const BYTE *)set.secondName.data()});
    for (const HeaderRecord &record : records)
        capacity += 1 + kMaxLengthIntegerWidth + (size_t)record.length;

    BYTE setId[2] = {set.setId[0], set.setId[1]};
    auto own = o.setIdFor.find(piece);
    if (own != o.setIdFor.end())
        memcpy(setId, own->second.data(), 2);

    std::vector<BYTE> header(capacity);
    int length;
    if (piece == 1) {
        FirstPieceFields fields = {};
        fields.totalSize = set.totalSize;
        fields.dataCount = dataCount;
        memcpy(fields.setId, setId, 2);
        if (!nameAsRecord) {
            fields.name = set.storedName.data();
            fields.nameLength = (int)set.storedName.size();
        }
        fields.hasTimeStamp = set.hasTimeStamp;
        fields.year = set.year;
        fields.packedTime = set.packedTime;
        fields.extraRecords = records.data();
        fields.extraRecordCount = (int)records.size();
        fields.hasDataCheck = o.dataCheck;
        length = BuildFirstPieceHeader(header.data(), (int)capacity, &fields, pieceLength);
    } else {
        LaterPieceFields fields = {};
        fields.dataCount = dataCount;
        memcpy(fields.setId, setId, 2);
        fields.lengthInteger = o.lengthInteger;
        fields.records = records.data();
        fields.recordCount = (int)records.size();
        fields.hasDataCheck = o.dataCheck;
        length = BuildLaterPieceHeader(header.data(), (int)capacity, &fields, pieceLength);
    }
    if (length < 0)
        Fail("internal error: the header of piece %d with %lld data bytes cannot be built", piece, dataCount);
    header.resize((size_t)length);
    return header;
}

// The header length of a piece whose piece length takes the short form.
long long ShortHeaderLength(const SetDescription &set, int piece)
{
    long long unused;
    return (long long)BuildHeader(set, piece, 0, &unused).size();
}

long long Garbage(const Options &o, int piece)
{
    auto it = o.garbage.find(piece);
    return it == o.garbage.end() ? 0 : it->second;
}

// The most data bytes (at most remaining) that fit room bytes beside a header of
// shortHeader bytes, whose piece length grows by 4 bytes once it reaches 2^31. Piece
// lengths from 2^31 to 2^31 + 3 cannot occur, so a room that would need one is filled
// with the largest short-form piece instead. -1 when not even the header fits.
long long FitData(long long room, long long shortHeader, long long remaining)
{
    const long long kShortLimit = 0x80000000LL;
    if (room < shortHeader)
        return -1;
    long long best = std::min(room - shortHeader, kShortLimit - 1 - shortHeader);
    if (room - 4 >= kShortLimit)
        best = room - shortHeader - 4;
    return std::min(best, remaining);
}

std::vector<long long> PlanByPieceSize(const SetDescription &set)
{
    const Options &o = *set.options;
    std::vector<long long> counts;
    long long remaining = set.totalSize;
    long long header = ShortHeaderLength(set, 1);
    long long data = FitData(o.pieceSize - kFirstPieceOffset - kCheckValueSize, header, remaining);
    if (data < 0)
        Fail("a piece size of %lld bytes cannot hold the executable: the stub takes %ld bytes, the first "
             "piece's header %lld and its check value 2, at least %lld bytes",
             o.pieceSize, (long)kFirstPieceOffset, header, kFirstPieceOffset + header + kCheckValueSize);
    counts.push_back(data);
    remaining -= data;
    for (int piece = 2; remaining > 0; piece++) {
        header = ShortHeaderLength(set, piece);
        data = FitData(o.pieceSize - Garbage(o, piece) - kCheckValueSize, header, remaining);
        if (data <= 0)
            Fail("a piece size of %lld bytes cannot hold piece %d: its header alone takes %lld bytes", o.pieceSize,
                 piece, header + Garbage(o, piece));
        counts.push_back(data);
        remaining -= data;
    }
    return counts;
}

void CheckDataCounts(const SetDescription &set)
{
    long long sum = 0;
    for (long long count : set.options->dataCounts) {
        if (count > kLargestCount - sum)
            Fail("the data counts add up to more than any file holds");
        sum += count;
    }
    if (sum != set.totalSize)
        Fail("the data counts add up to %lld bytes, but the input holds %lld", sum, set.totalSize);
}

// Every later piece file must be one that the restoring side's marker search accepts.
void CheckPieceFiles(const SetDescription &set, const std::vector<long long> &counts)
{
    const Options &o = *set.options;
    const char *hint = o.pieceSize > 0 ? "; choose another piece size" : "";
    for (size_t i = 1; i < counts.size(); i++) {
        int piece = (int)i + 1;
        long long pieceLength;
        BuildHeader(set, piece, counts[i], &pieceLength);
        long long size = Garbage(o, piece) + pieceLength + kCheckValueSize;
        if (size < kSmallestPieceFile)
            Fail("piece %d would be a file of %lld bytes, but the restoring side accepts no piece file of 1,024 "
                 "bytes or less%s",
                 piece, size, hint);
        if ((size & kLow32Bits) < kSmallestPieceFile)
            Fail("piece %d would be a file of %lld bytes; the restoring side counts only the low 32 bits of a piece "
                 "file's size (%lld here) and accepts no piece file of 1,024 bytes or less by that count%s",
                 piece, size, size & kLow32Bits, hint);
    }
}

void CheckPieceOptions(const Options &o, size_t pieceCount)
{
    auto check = [&](int piece, const char *option) {
        if (piece < 1 || (size_t)piece > pieceCount)
            Fail("%s names piece %d, but the set has %zu piece%s", option, piece, pieceCount,
                 pieceCount == 1 ? "" : "s");
    };
    for (const auto &entry : o.setIdFor)
        check(entry.first, "--set-id-for");
    for (const ExtraRecordOption &extra : o.extraRecords)
        check(extra.piece, "--extra-record");
    for (const auto &entry : o.garbage)
        check(entry.first, "--garbage");
    for (int piece : o.badCrc)
        check(piece, "--bad-crc");
    for (int piece : o.badDataCheck)
        check(piece, "--bad-data-check");
}

// The path of recovery row (1 for NAME.d00).
std::string RecoveryPath(const std::string &folder, const std::string &base, int row)
{
    char extension[16];
    RecoveryRowExtension(row, extension);
    return folder + kPathSeparator + base + "." + extension;
}

std::string PiecePath(const std::string &folder, const std::string &base, int piece)
{
    char extension[16];
    if (piece == 1)
        snprintf(extension, sizeof extension, ".exe");
    else if (piece == 0)
        snprintf(extension, sizeof extension, ".d00");
    else
        snprintf(extension, sizeof extension, ".d%02d", piece);
    return folder + kPathSeparator + base + extension;
}

bool SameFile(const FileIdentity &a, const FileIdentity &b)
{
    return a.volume == b.volume && a.index == b.index;
}

// Refuses a set file that would replace the input or the stub.
void CheckNotSource(const std::string &path, const SourceFacts &input, const SourceFacts &stub)
{
    FileIdentity existing;
    if (ExistingIdentity(path, &existing) && (SameFile(existing, input.identity) || SameFile(existing, stub.identity)))
        Fail("%s would replace the input or the stub", path.c_str());
}

// Reads the stub and pads it with zero bytes to the first-piece offset.
std::vector<BYTE> ReadStub(const std::string &path, SourceFacts *info)
{
    std::string reason;
    int source = OpenSource(path, info, &reason);
    if (source < 0)
        Fail("cannot read the stub %s: %s", path.c_str(), reason.c_str());
    if (!info->isFile)
        Fail("the stub %s is not a file", path.c_str());
    if (info->size > kFirstPieceOffset)
        Fail("the stub %s is %lld bytes long; a stub may take at most %ld bytes, where the first piece starts",
             path.c_str(), info->size, (long)kFirstPieceOffset);
    std::vector<BYTE> stub((size_t)kFirstPieceOffset, 0);
    size_t have = 0;
    while (have < (size_t)info->size) {
        long long got = ReadSource(source, stub.data() + have, (size_t)info->size - have, &reason);
        if (got <= 0)
            Fail("cannot read the stub %s: %s", path.c_str(), got < 0 ? reason.c_str() : "it became shorter");
        have += (size_t)got;
    }
    CloseSource(source);
    return stub;
}

// What the recovery file needs of the pieces as they are written: each piece's data count
// and the CRC-64 of its data.
struct Recovery {
    bool wanted = false;
    std::vector<RecoveryEntry> entries;
};

// Copying the input into the pieces, with a progress line now and then.
struct Copier {
    int input;
    const char *inputPath;
    std::vector<unsigned char> buffer;
    long long total;
    long long copied;
    long long nextReport;
    bool showProgress;
    Recovery *recovery;
};

void ReadInput(Copier *c, size_t count)
{
    size_t have = 0;
    while (have < count) {
        std::string reason;
        long long got = ReadSource(c->input, c->buffer.data() + have, count - have, &reason);
        if (got < 0)
            Fail("cannot read %s: %s", c->inputPath, reason.c_str());
        if (got == 0)
            Fail("%s ended early: it changed while it was being split", c->inputPath);
        have += (size_t)got;
    }
}

// The two checks of a piece's data.
struct DataChecks {
    WORD crc16;
    Crc64 crc64;
};

// Copies the next count bytes of the input to fd and returns their CRC-16 and CRC-64, in
// the same pass; with a recovery file, also adds their entry (count and CRC-64) to its
// table.
DataChecks CopyData(Copier *c, int fd, long long count, const std::string &path)
{
    WORD crc = 0;
    Recovery *r = c->recovery;
    RecoveryEntry entry = {count, 0};
    for (long long done = 0; done < count;) {
        size_t chunk = (size_t)std::min<long long>(count - done, (long long)c->buffer.size());
        ReadInput(c, chunk);
        crc = Crc16Compute(crc, c->buffer.data(), chunk);
        WriteAll(fd, c->buffer.data(), chunk, path);
        entry.crc = Crc64Compute(entry.crc, c->buffer.data(), chunk);
        done += (long long)chunk;
        c->copied += (long long)chunk;
        if (c->showProgress && c->copied >= c->nextReport) {
            Print(stderr, "parcelon-split: %lld of %lld MiB (%d%%)\n", c->copied >> 20, c->total >> 20,
                    (int)(c->copied * 100.0 / (double)c->total));
            c->nextReport += kProgressStep;
        }
    }
    if (r->wanted)
        r->entries.push_back(entry);
    return {crc, entry.crc};
}

// Reads exactly count bytes of the input from offset.
void ReadInputAt(Copier *c, long long offset, unsigned char *bytes, size_t count)
{
    for (size_t have = 0; have < count;) {
        std::string reason;
        long long got = ReadSourceAt(c->input, offset + (long long)have, bytes + have, count - have, &reason);
        if (got < 0)
            Fail("cannot read %s: %s", c->inputPath, reason.c_str());
        if (got == 0)
            Fail("%s ended early: it changed while it was being split", c->inputPath);
        have += (size_t)got;
    }
}

// Writes the recovery files once every piece is written. The parity data of every row are
// made a block at a time from the input, each piece's data read at the same offset within
// the piece; the CRC-64 of every piece's data is worked out again on the way, so that an
// input that changed after its piece was written cannot give parity data that do not fit
// the pieces. Then each file's header goes in front and the piece table last, where the
// file ends. Returns the parity length.
long long WriteRecovery(const SetDescription &set, Copier *c, const Recovery &r, const std::vector<std::string> &paths)
{
    const size_t count = r.entries.size();
    const int rows = (int)paths.size();
    if ((long long)count + rows > kGf16CodeSize)
        Fail("%d recovery files need a set of at most %ld pieces, not %zu", rows, (long)(kGf16CodeSize - rows), count);
    Gf16Build();
    long long longest = 0;
    std::vector<long long> starts(count);
    long long at = 0;
    for (size_t i = 0; i < count; i++) {
        starts[i] = at;
        at += r.entries[i].dataCount;
        longest = std::max(longest, r.entries[i].dataCount);
    }
    std::vector<int> fds;
    std::vector<std::vector<unsigned char>> parity(rows, std::vector<unsigned char>(c->buffer.size()));
    for (int row = 0; row < rows; row++) {
        fds.push_back(AddSetFile(paths[row], false));
        WriteAll(fds[row], parity[row].data(), (size_t)kRecoveryParityOffset, paths[row]);
    }

    // Row 1 holds the longest count of bytes; a later row rounds it up to whole symbols.
    const long long stored = RecoveryRowParityBytes(longest, rows);
    std::vector<RecoveryHeader> headers(rows);
    std::vector<Crc64> again(count, 0);
    unsigned char *block = c->buffer.data();
    for (long long offset = 0; offset < stored;) {
        size_t chunk = (size_t)std::min<long long>(stored - offset, (long long)c->buffer.size());
        for (int row = 0; row < rows; row++)
            std::fill(parity[row].begin(), parity[row].begin() + (long)chunk, 0);
        for (size_t i = 0; i < count; i++) {
            long long left = r.entries[i].dataCount - offset;
            if (left <= 0)
                continue;
            size_t n = (size_t)std::min<long long>(left, (long long)chunk);
            ReadInputAt(c, starts[i] + offset, block, n);
            again[i] = Crc64Compute(again[i], block, n);
            // A piece's last odd byte is the low byte of a symbol whose high byte is zero.
            if (n & 1)
                block[n] = 0;
            for (int row = 0; row < rows; row++)
                Gf16MultiplyAdd(parity[row].data(), block, n + (row > 0 ? (n & 1) : 0), Gf16Coefficient(row, (LONG)i));
        }
        for (int row = 0; row < rows; row++) {
            size_t bytes = (size_t)std::min<long long>(row == 0 ? longest - offset : stored - offset, (long long)chunk);
            headers[row].parityCrc = Crc64Compute(headers[row].parityCrc, parity[row].data(), bytes);
            WriteAll(fds[row], parity[row].data(), bytes, paths[row]);
        }
        offset += (long long)chunk;
    }
    for (size_t i = 0; i < count; i++)
        if (again[i] != r.entries[i].crc)
            Fail("%s changed while it was being split", c->inputPath);

    // The name the first piece states: its last name record.
    const std::string &name = set.options->haveSecondName ? set.secondName : set.storedName;
    if (name.size() > (size_t)kMaxNameLength)
        Fail("the recovery file cannot hold a stored name of %zu bytes (at most %d)", name.size(), kMaxNameLength);
    std::vector<BYTE> table(count * kRecoveryEntrySize);
    for (size_t i = 0; i < count; i++)
        PutRecoveryEntry(&table[i * kRecoveryEntrySize], &r.entries[i]);
    for (int row = 0; row < rows; row++) {
        RecoveryHeader &header = headers[row];
        memcpy(header.setId, set.setId, 2);
        header.pieceCount = (LONG)count;
        header.totalSize = set.totalSize;
        header.parityLength = longest;
        if (set.hasTimeStamp) {
            header.year = set.year;
            header.packedTime = set.packedTime;
        }
        header.nameLength = (int)name.size();
        memcpy(header.name, name.data(), name.size());
        header.row = (WORD)(row + 1);
        header.rows = (WORD)rows;
        BYTE bytes[kRecoveryFixedSize + kNameHolderSize + 4];
        int length = BuildRecoveryHeader(bytes, (int)sizeof bytes, &header, table.data(), table.size());
        if (length < 0)
            Fail("internal error: the recovery file's header cannot be built");
        WriteSetFileAt(fds[row], 0, bytes, (size_t)length, paths[row]);
        WriteSetFileAt(fds[row], kRecoveryParityOffset + RecoveryParityBytes(&header), table.data(), table.size(),
                       paths[row]);
        CloseSetFile(fds[row], paths[row]);
    }
    return longest;
}

void WriteGarbage(int fd, long long count, const std::string &path)
{
    std::string block;
    while (block.size() < 65536)
        block += kGarbagePattern;
    while (count > 0) {
        size_t chunk = (size_t)std::min<long long>(count, (long long)block.size());
        WriteAll(fd, block.data(), chunk, path);
        count -= (long long)chunk;
    }
}

// Writes a piece whose marker comes at byte start of its file. The data-check record's
// CRC-64 is known only once the data are copied: the header goes out with zero bytes in
// its place, which are put right after the data, in one pass over the input whatever
// the piece's size.
void WritePiece(const SetDescription &set, Copier *c, int fd, int piece, long long start, long long dataCount,
                const std::string &path)
{
    const Options &o = *set.options;
    long long pieceLength;
    std::vector<BYTE> header = BuildHeader(set, piece, dataCount, &pieceLength);
    WriteAll(fd, header.data(), header.size(), path);
    DataChecks checks = CopyData(c, fd, dataCount, path);
    if (o.badCrc.count(piece))
        checks.crc16 = (WORD)~checks.crc16;
    BYTE check[2];
    PutCheckValue(check, checks.crc16);
    if (!o.dataCheck) {
        WriteAll(fd, check, sizeof check, path);
        return;
    }
    if (o.badDataCheck.count(piece))
        checks.crc64 = ~checks.crc64;
    const long long dataStart = start + (long long)header.size();
    BYTE crc64[kDataCheckLength];
    PutDataCheck(crc64, checks.crc64);
    WriteSetFileAt(fd, dataStart - kDataCheckFromEnd, crc64, sizeof crc64, path);
    // Last, so that the file position is left at the file's end.
    WriteSetFileAt(fd, dataStart + dataCount, check, sizeof check, path);
}

} // namespace

void Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteText(stderr, "parcelon-split: " + FormatText(format, args) + "\n");
    va_end(args);
    RemoveSetFiles();
    exit(1);
}

int SplitMain(int argc, char **argv)
{
    Options o = ParseOptions(argc, argv);
    if (o.stub.empty())
        o.stub = FindStub();

    SourceFacts stubInfo, inputInfo;
    std::vector<BYTE> stub = ReadStub(o.stub, &stubInfo);

    std::string reason;
    int input = OpenSource(o.input, &inputInfo, &reason);
    if (input < 0)
        Fail("cannot read %s: %s", o.input.c_str(), reason.c_str());
    if (!inputInfo.isFile)
        Fail("cannot read %s: it is not a file", o.input.c_str());

    SetDescription set = {};
    set.options = &o;
    set.totalSize = inputInfo.size;
    set.storedName = StoredName(o);
    set.rawName = o.haveNameBytes;
    if (o.haveSecondName) {
        set.secondName = ToCodePage932(o.secondName, "the second name");
        if (set.secondName.size() > (size_t)kMaxRecordLength)
            Fail("the second name takes %zu bytes; a record holds at most %ld", set.secondName.size(),
                 (long)kMaxRecordLength);
    }
    SetTimeStamp(o, inputInfo, &set);
    if (o.haveSetId)
        memcpy(set.setId, o.setId, 2);
    else
        RandomSetId(set.setId);
    std::string base = BaseName(o);

    std::vector<long long> counts;
    if (o.pieceSize > 0) {
        counts = PlanByPieceSize(set);
    } else {
        CheckDataCounts(set);
        counts = o.dataCounts;
    }
    CheckPieceOptions(o, counts.size());
    CheckPieceFiles(set, counts);

    bool isFolder;
    if (!LookAtFolder(o.outDir, &isFolder, &reason))
        Fail("cannot use the output folder %s: %s", o.outDir.c_str(), reason.c_str());
    if (!isFolder)
        Fail("the output folder %s is not a folder", o.outDir.c_str());
    std::vector<std::string> paths;
    for (size_t i = 0; i < counts.size(); i++) {
        paths.push_back(PiecePath(o.outDir, base, (int)i + 1));
        CheckNotSource(paths.back(), inputInfo, stubInfo);
    }
    std::vector<std::string> recoveryPaths;
    for (int row = 1; row <= o.recovery; row++) {
        recoveryPaths.push_back(RecoveryPath(o.outDir, base, row));
        CheckNotSource(recoveryPaths.back(), inputInfo, stubInfo);
    }

    Recovery recovery;
    recovery.wanted = o.recovery > 0;
    Copier copier = {input,
                     o.input.c_str(),
                     std::vector<unsigned char>(kCopyChunk),
                     set.totalSize,
                     0,
                     kProgressStep,
                     set.totalSize >= kProgressMinimum && IsInteractive(stderr),
                     &recovery};
    ReserveSetFiles(counts.size() + (size_t)o.recovery);
    for (size_t i = 0; i < counts.size(); i++) {
        int piece = (int)i + 1;
        int fd = AddSetFile(paths[i], piece == 1);
        long long start;
        if (piece == 1) {
            WriteAll(fd, stub.data(), stub.size(), paths[i]);
            start = (long long)stub.size();
        } else {
            start = Garbage(o, piece);
            WriteGarbage(fd, start, paths[i]);
        }
        WritePiece(set, &copier, fd, piece, start, counts[i], paths[i]);
        CloseSetFile(fd, paths[i]);
    }
    long long parityLength = o.recovery ? WriteRecovery(set, &copier, recovery, recoveryPaths) : 0;
    CloseSource(input);
    // A recovery file of the old set would be taken for one of the new set.
    for (int row = o.recovery + 1; row <= kMaxRecoveryRows; row++)
        RetireOldFile(RecoveryPath(o.outDir, base, row));
    CommitSetFiles(inputInfo.identity, stubInfo.identity);
    for (size_t i = 0; i < counts.size(); i++)
        Print(stdout, "%s: piece %zu, %lld data bytes\n", paths[i].c_str(), i + 1, counts[i]);
    for (const std::string &path : recoveryPaths)
        Print(stdout, "%s: recovery file, %lld parity bytes\n", path.c_str(), parityLength);
    return 0;
}
