// restore/messages.h: the catalogue of every message box the program shows: its text,
// caption and type by identifier, and the one call that shows them.
#pragma once
#include <windows.h>

// The message boxes. A text's %s are filled in order by the texts ShowMessage is given.
enum MessageId {
    kMsgScreenFailed,     // the dialog cannot be set up
    kMsgOwnUnopenable,    // start-up: the executable cannot be opened
    kMsgDamaged,          // start-up: its header is damaged (%s: its path)
    kMsgInfoFailed,       // start-up: where its header ends cannot be told
    kMsgNoStart,          // the restore thread cannot be started
    kMsgRunOwnUnopenable, // a run: the executable cannot be opened
    kMsgOverwrite,        // the destination exists: overwrite? (%s: the destination)
    kMsgCannotCreate,     // the destination cannot be created
    kMsgFatLimit,         // a FAT drive cannot hold the file (%s: the destination)
    kMsgNoRoom,           // too little room: go on? (%s: needed, free, the destination)
    kMsgWriteFailed,      // the destination did not take its bytes (%s: the destination)
    kMsgCutShort,         // a piece ends too early (%s: its file)
    kMsgBadCheck,         // a piece fails a check: go on? (%s: its file)
    kMsgBadLastCheck,     // the last piece fails a check (%s: its file)
    kMsgNextFile,         // a piece file cannot be opened: make it available (%s: its file)
    kMsgNoMarker,         // a piece file holds no piece: retry?
    kMsgForeign,          // a piece of another set: go on? (%s: its file)
    kMsgRebuildMissing,   // a piece file is missing: rebuild it? (%s: its file)
    kMsgRebuildUnusable,  // a piece cannot be used: rebuild it? (%s: its file)
    kMsgRebuildFailed,    // the rebuild failed (%s: the recovery file)
    kMessageCount
};

struct MessageText {
    const char *text;
    const char *caption;
    UINT type;
};

extern const MessageText kMessages[kMessageCount];

// The identifier of the message box being shown: written by the thread that shows it just
// before the box appears (only one thread shows boxes at any time), read by whoever answers
// it.
extern volatile LONG g_shownMessage;

// Shows message id owned by owner, its %s filled from a, b and c (formatted in the text
// buffer), and returns the answer as MessageBoxA gives it.
int ShowMessage(HWND owner, MessageId id, const char *a = NULL, const char *b = NULL, const char *c = NULL);
