// restore/without.h: a set restored without its executable (lost, or never received):
// the start-up load from the set's recovery file NAME.d00, whose first piece is then
// rebuilt from it. Not part of the executable itself, which always has its first piece.
#pragma once
#include <windows.h>

// Reads the set's information from the recovery file at recoveryPath into g_restoreInfo:
// the stored name, total size and time stamp from its header, the first piece's data
// count and CRC-64 from its piece table. The set's executable is taken to be
// executablePath (it need not exist: the pieces and the recovery file are found beside it
// by its name), and the first piece is marked missing. kLoaded, kMsgOwnUnopenable when
// the file cannot be opened, or kMsgDamaged when it is no sound recovery file or its name
// is no plain file name.
int LoadFromRecovery(const char *recoveryPath, const char *executablePath);
