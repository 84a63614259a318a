// format/piecewrite.cpp: builds piece headers for a splitter. Every width is taken from
// the value it encodes, so the header read of the stub counts exactly the bytes written.
#include "format/piecewrite.h"

#include <string.h>

#include "format/piece.h"
#include "format/varint.h"

static const long long kSizeShortLimit = 0x80000000LL;
static const long long kLargestSize = 0x7FFFFFFFFFFFFFFFLL;
// The bytes the 8-byte form of a size integer takes beyond the 4-byte form.
static const int kSizeLongExtra = 4;

// A byte buffer filled from the front.
struct HeaderSink {
    BYTE *out;
    int used;
};

static void PutBytes(HeaderSink *sink, const void *bytes, int count)
{
    memcpy(sink->out + sink->used, bytes, (size_t)count);
    sink->used += count;
}

static void PutByte(HeaderSink *sink, BYTE value)
{
    sink->out[sink->used++] = value;
}

static void PutSize(HeaderSink *sink, long long value)
{
    sink->used += PutSizeInteger(sink->out + sink->used, value);
}

static void PutRecord(HeaderSink *sink, BYTE tag, LONG length, const void *payload)
{
    PutByte(sink, tag);
    sink->used += PutLengthInteger(sink->out + sink->used, length);
    if (length > 0)
        PutBytes(sink, payload, length);
}

// The data-check record, kDataCheckRecordSize bytes.
static void PutDataCheckRecord(HeaderSink *sink, Crc64 crc)
{
    BYTE payload[kDataCheckLength];
    PutDataCheck(payload, crc);
    PutRecord(sink, kDataCheckTag, kDataCheckLength, payload);
}

// The bytes a record takes: tag, length integer, payload.
static long long RecordSize(LONG length)
{
    return 1 + LengthIntegerWidth(length) + (long long)length;
}

// Adds the sizes of the records to *total; FALSE when one of them cannot be written (the
// end tag as a record tag, a length outside the length integer, a missing payload).
static BOOL AddRecordSizes(const HeaderRecord *records, int count, long long *total)
{
    if (count < 0 || (count > 0 && records == NULL))
        return FALSE;
    for (int i = 0; i < count; i++) {
        const HeaderRecord *record = &records[i];
        if (record->tag == kEndTag || record->length < 0 || record->length > kMaxRecordLength)
            return FALSE;
        if (record->length > 0 && record->payload == NULL)
            return FALSE;
        *total += RecordSize(record->length);
    }
    return TRUE;
}

long long PieceLengthFor(int headerLength, long long dataCount)
{
    if (headerLength < 0 || dataCount < 0 || dataCount > kLargestSize - headerLength - kSizeLongExtra)
        return -1;
    long long length = headerLength + dataCount;
    return length < kSizeShortLimit ? length : length + kSizeLongExtra;
}

// The header length once the piece length has its final width.
static long long FinalHeaderLength(long long headerWithShortLength, long long pieceLength)
{
    return headerWithShortLength + SizeIntegerWidth(pieceLength) - 4;
}

// The piece length of a header whose fixed part (with a 4-byte piece length) is header
// bytes, with these records, for dataCount data bytes; -1 when the header would not fit
// capacity or the records are not sound.
static long long PlanPieceLength(long long header, const HeaderRecord *records, int count, long long dataCount,
                                 int capacity)
{
    if (!AddRecordSizes(records, count, &header) || header > capacity)
        return -1;
    long long length = PieceLengthFor((int)header, dataCount);
    if (length < 0 || FinalHeaderLength(header, length) > capacity)
        return -1;
    return length;
}

int BuildFirstPieceHeader(BYTE *out, int capacity, const FirstPieceFields *fields, long long *pieceLength)
{
    if (fields->totalSize < 0 || fields->dataCount < 0 || fields->dataCount > fields->totalSize)
        return -1;
    if (fields->name != NULL && (fields->nameLength < 0 || fields->nameLength > kMaxNameLength))
        return -1;
    // Marker, the byte after it, total size, the byte after that, a 4-byte piece length,
    // set identifier, records and end tag.
    long long header = kPieceMarkerLength + 1 + SizeIntegerWidth(fields->totalSize) + 1 + 4 + 2 + 1;
    if (fields->name != NULL)
        header += RecordSize(fields->nameLength);
    if (fields->hasTimeStamp)
        header += RecordSize(kTimeStampLength);
    if (fields->hasDataCheck)
        header += kDataCheckRecordSize;
    long long length = PlanPieceLength(header, fields->extraRecords, fields->extraRecordCount, fields->dataCount, capacity);
    if (length < 0)
        return -1;

    HeaderSink sink = {out, 0};
    PutBytes(&sink, kPieceMarker, kPieceMarkerLength);
    PutByte(&sink, 0);
    PutSize(&sink, fields->totalSize);
    PutByte(&sink, 0);
    PutSize(&sink, length);
    PutBytes(&sink, fields->setId, 2);
    if (fields->name != NULL)
        PutRecord(&sink, kNameTag, fields->nameLength, fields->name);
    if (fields->hasTimeStamp) {
        BYTE stamp[kTimeStampLength];
        stamp[0] = (BYTE)fields->year;
        stamp[1] = (BYTE)(fields->year >> 8);
        for (int i = 0; i < 4; i++)
            stamp[2 + i] = (BYTE)(fields->packedTime >> (8 * i));
        PutRecord(&sink, kTimeStampTag, kTimeStampLength, stamp);
    }
    for (int i = 0; i < fields->extraRecordCount; i++) {
        const HeaderRecord *record = &fields->extraRecords[i];
        PutRecord(&sink, record->tag, record->length, record->payload);
    }
    if (fields->hasDataCheck)
        PutDataCheckRecord(&sink, fields->dataCheck);
    PutByte(&sink, kEndTag);
    *pieceLength = length;
    return sink.used;
}

int BuildLaterPieceHeader(BYTE *out, int capacity, const LaterPieceFields *fields, long long *pieceLength)
{
    if (fields->dataCount < 0 || fields->lengthInteger < 0 || fields->lengthInteger > kMaxRecordLength)
        return -1;
    // Marker, a 4-byte piece length, set identifier, the length integer, records, end tag.
    long long header = kPieceMarkerLength + 4 + 2 + LengthIntegerWidth(fields->lengthInteger) + 1;
    if (fields->hasDataCheck)
        header += kDataCheckRecordSize;
    long long length = PlanPieceLength(header, fields->records, fields->recordCount, fields->dataCount, capacity);
    if (length < 0)
        return -1;

    HeaderSink sink = {out, 0};
    PutBytes(&sink, kPieceMarker, kPieceMarkerLength);
    PutSize(&sink, length);
    PutBytes(&sink, fields->setId, 2);
    sink.used += PutLengthInteger(out + sink.used, fields->lengthInteger);
    for (int i = 0; i < fields->recordCount; i++) {
        const HeaderRecord *record = &fields->records[i];
        PutRecord(&sink, record->tag, record->length, record->payload);
    }
    if (fields->hasDataCheck)
        PutDataCheckRecord(&sink, fields->dataCheck);
    PutByte(&sink, kEndTag);
    *pieceLength = length;
    return sink.used;
}

DWORD PackTime(int month, int day, int hour, int minute, int second)
{
    return ((DWORD)month & 0x3FF) << 22 | ((DWORD)day & 0x1F) << 17 | ((DWORD)hour & 0x1F) << 12 |
           ((DWORD)minute & 0x3F) << 6 | ((DWORD)second & 0x3F);
}
