// format/crc16.h: the running CRC-16/XMODEM over a piece's data bytes.
#pragma once
#include <windows.h>

// Updates the one process-wide CRC register with length bytes of data and returns it
// (in the low 16 bits). With continueFlag 0 the register is first set to 0, so
// Crc16Update(NULL, 0, 0) is the reset. A length of 0 or less leaves the register as the
// start value. Only the restore worker calls it.
UINT Crc16Update(const void *data, LONG length, int continueFlag);

// The same computation on a caller's value, with no register: for the writing side.
WORD Crc16Compute(WORD start, const void *data, size_t length);
