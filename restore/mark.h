// restore/mark.h: the download mark's text (a Zone.Identifier stream): its stream name and
// the zone it names.
#pragma once
#include <windows.h>

#include <stddef.h>

// What a file's name is followed by to name its download mark (its Zone.Identifier stream).
extern const char kZoneStream[];

// A mark is read whole up to this many bytes, far more than any real one holds (its
// longest lines are a download's addresses); of a longer one only these bytes count.
const DWORD kMarkLimit = 65536;

// Reads a mark's text handed over in pieces of any size, so that a long mark needs no
// buffer of its length. The text is UTF-16LE when it begins with FF FE, else single bytes
// (a UTF-8 byte order mark is allowed). The first ZoneId in the [ZoneTransfer] section
// decides; section names and keys are compared without regard to case, blanks around
// them and around the value do not count, and the value is a decimal number of at most
// four digits, else the mark names no zone.
struct MarkReader {
    BOOL decided;        // the zone is known; further text changes nothing
    int zone;            // the zone once decided, -1 for none
    int encoding;        // not yet known, single bytes or UTF-16LE
    BYTE head[3];        // the first bytes, until they show whether a byte order mark begins the text
    int headLength;
    BYTE low;            // UTF-16LE: the low byte of a unit whose high byte is still to come
    BOOL haveLow;
    int line;            // what the current line is so far
    int matched;         // characters of "[ZoneTransfer]" or "ZoneId" matched on this line
    int digits;          // digits of the value read so far
    int value;           // the value they give
    BOOL inZoneTransfer; // the section the lines belong to is [ZoneTransfer]
    BOOL lineHasText;    // the current line holds at least one character
};

void StartMarkReader(MarkReader *reader);
// Hands over the next count bytes of the text.
void ReadMarkBytes(MarkReader *reader, const BYTE *bytes, size_t count);
// The zone the mark names, or -1 when it names none. `complete` tells whether the text
// handed over is the whole mark or only its beginning (a last line cut off might have
// lost digits: it counts as naming no zone).
int FinishMarkReader(MarkReader *reader, BOOL complete);

// The same for a text held whole in memory.
int ZoneOfMark(const char *text, size_t length, BOOL complete);
