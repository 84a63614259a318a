// restore/load.h: the start-up load: the set's information read into g_restoreInfo from
// the executable's own first piece, or, where the set came without its executable, from
// its recovery file (restore/without.h).
#pragma once
#include <windows.h>

#include "restore/messages.h"

// What a start-up load found: kLoaded, or the message that says why it failed.
const int kLoaded = -1;

// Reads the first piece's header of the executable at g_restoreInfo.ownPath into
// g_restoreInfo. kLoaded, kMsgOwnUnopenable, kMsgDamaged (a header that is damaged, names
// anything but a plain file name or states a size no writer stores) or kMsgInfoFailed
// (where the header ends cannot be told).
int LoadFromExecutable(void);

// The stored name's extension into g_restoreInfo.extension, lower-cased (letters A-Z
// only); empty without a ".".
void TakeExtension(void);
