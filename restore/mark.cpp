// restore/mark.cpp: reads the zone that a download mark's text names, a character at a
// time, whatever its length.
#include "restore/mark.h"

const char kZoneStream[] = ":Zone.Identifier";

namespace {

enum { kEncodingUnknown, kSingleBytes, kUtf16 };

// What the current line is, from what of it has been read.
enum {
    kLineStart,     // blanks at most
    kSectionName,   // a line that begins with "["
    kKey,           // a line of the [ZoneTransfer] section, before its first "="
    kValueStart,    // behind "ZoneId =", blanks at most
    kValue,         // in the value's digits
    kValueTrailing, // blanks behind the value
    kRestOfLine,    // a line that decides nothing
};

const char kZoneTransfer[] = "[ZONETRANSFER]";
const int kZoneTransferLength = 14;
const char kZoneId[] = "ZONEID";
const int kZoneIdLength = 6;
const int kMaxZoneDigits = 4;
// A UTF-16 unit outside ASCII stands for a byte that matches nothing the mark's rules look for.
const char kOtherCharacter = (char)0xFF;

BOOL IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

void Decide(MarkReader *reader, int zone)
{
    reader->decided = TRUE;
    reader->zone = zone;
}

// The end of a line: a section line names the section the next lines belong to, and a
// ZoneId line decides.
void EndLine(MarkReader *reader)
{
    switch (reader->line) {
    case kSectionName:
        reader->inZoneTransfer = reader->matched == kZoneTransferLength;
        break;
    case kValueStart:
        Decide(reader, -1);
        break;
    case kValue:
    case kValueTrailing:
        Decide(reader, reader->value);
        break;
    }
    reader->line = kLineStart;
    reader->lineHasText = FALSE;
}

void ReadCharacter(MarkReader *reader, char c)
{
    if (c == '\n') {
        EndLine(reader);
        return;
    }
    reader->lineHasText = TRUE;
    switch (reader->line) {
    case kLineStart:
        if (IsBlank(c))
            break;
        reader->matched = 0;
        if (c == '[') {
            reader->line = kSectionName;
            reader->matched = 1;
        } else if (!reader->inZoneTransfer) {
            reader->line = kRestOfLine;
        } else {
            reader->line = kKey;
            ReadCharacter(reader, c);
        }
        break;
    case kSectionName:
        // The whole line but its trailing blanks is the name; -1 once it cannot be ours.
        if (reader->matched >= 0 && reader->matched < kZoneTransferLength && UpperAscii(c) == kZoneTransfer[reader->matched])
            reader->matched++;
        else if (!(reader->matched == kZoneTransferLength && IsBlank(c)))
            reader->matched = -1;
        break;
    case kKey:
        if (c == '=') {
            reader->line = reader->matched == kZoneIdLength ? kValueStart : kRestOfLine;
            reader->value = 0;
            reader->digits = 0;
        } else if (reader->matched >= 0 && reader->matched < kZoneIdLength && UpperAscii(c) == kZoneId[reader->matched]) {
            reader->matched++;
        } else if (!(reader->matched == kZoneIdLength && IsBlank(c))) {
            reader->matched = -1;
        }
        break;
    case kValueStart:
    case kValue:
        if (IsBlank(c)) {
            if (reader->line == kValue)
                reader->line = kValueTrailing;
        } else if (c >= '0' && c <= '9' && reader->digits < kMaxZoneDigits) {
            reader->line = kValue;
            reader->value = reader->value * 10 + (c - '0');
            reader->digits++;
        } else {
            Decide(reader, -1);
        }
        break;
    case kValueTrailing:
        if (!IsBlank(c))
            Decide(reader, -1);
        break;
    }
}

// Takes the first bytes aside until they show whether a byte order mark begins the text.
void ReadHeadByte(MarkReader *reader, BYTE b)
{
    reader->head[reader->headLength++] = b;
    const int n = reader->headLength;
    const BYTE *h = reader->head;
    const BOOL utf16 = h[0] == 0xFF && (n < 2 || h[1] == 0xFE);
    const BOOL utf8 = h[0] == 0xEF && (n < 2 || h[1] == 0xBB) && (n < 3 || h[2] == 0xBF);
    if (utf16 && n == 2) {
        reader->encoding = kUtf16;
    } else if (utf8 && n == 3) {
        reader->encoding = kSingleBytes;
    } else if (!utf16 && !utf8) {
        reader->encoding = kSingleBytes;
        for (int i = 0; i < n && !reader->decided; i++)
            ReadCharacter(reader, (char)h[i]);
    }
}

} // namespace

void StartMarkReader(MarkReader *reader)
{
    reader->decided = FALSE;
    reader->zone = -1;
    reader->encoding = kEncodingUnknown;
    reader->headLength = 0;
    reader->haveLow = FALSE;
    reader->line = kLineStart;
    reader->matched = 0;
    reader->digits = 0;
    reader->value = 0;
    reader->inZoneTransfer = FALSE;
    reader->lineHasText = FALSE;
}

void ReadMarkBytes(MarkReader *reader, const BYTE *bytes, size_t count)
{
    for (size_t i = 0; i < count && !reader->decided; i++) {
        const BYTE b = bytes[i];
        if (reader->encoding == kEncodingUnknown) {
            ReadHeadByte(reader, b);
        } else if (reader->encoding == kSingleBytes) {
            ReadCharacter(reader, (char)b);
        } else if (!reader->haveLow) {
            reader->low = b;
            reader->haveLow = TRUE;
        } else {
            const WORD unit = (WORD)(reader->low | b << 8);
            reader->haveLow = FALSE;
            ReadCharacter(reader, unit < 0x80 ? (char)unit : kOtherCharacter);
        }
    }
}

int FinishMarkReader(MarkReader *reader, BOOL complete)
{
    if (!reader->decided && reader->encoding == kEncodingUnknown) {
        // Too short for a byte order mark: the bytes are the text.
        reader->encoding = kSingleBytes;
        for (int i = 0; i < reader->headLength && !reader->decided; i++)
            ReadCharacter(reader, (char)reader->head[i]);
    }
    if (!reader->decided && reader->lineHasText) {
        if (!complete)
            return -1;
        EndLine(reader);
    }
    return reader->decided ? reader->zone : -1;
}

int ZoneOfMark(const char *text, size_t length, BOOL complete)
{
    MarkReader reader;
    StartMarkReader(&reader);
    ReadMarkBytes(&reader, (const BYTE *)text, length);
    return FinishMarkReader(&reader, complete);
}
