// restore/mark.h: the download mark's text (a Zone.Identifier stream): its stream name and
// the zone it names.
#pragma once
#include <windows.h>

#include <stddef.h>

// What a file's name is followed by to name its download mark (its Zone.Identifier stream).
extern const char kZoneStream[];

// The zone that a mark's text names in its [ZoneTransfer] section, or -1 when it names
// none. `complete` tells whether the text is the whole mark or only its beginning.
int ZoneOfMark(const char *text, size_t length, BOOL complete);
