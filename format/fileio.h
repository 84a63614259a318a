// format/fileio.h: the two file steps every reader of pieces and recovery files takes.
#pragma once
#include <windows.h>

// Reads exactly count bytes; FALSE when fewer arrive (those that did stay consumed).
inline BOOL ReadExactly(HANDLE file, void *out, DWORD count)
{
    DWORD got = 0;
    return ReadFile(file, out, count, &got, NULL) && got == count;
}

// Moves the file pointer to offset bytes from the start.
inline void SeekFromStart(HANDLE file, long long offset)
{
    LONG high = (LONG)(offset >> 32);
    SetFilePointer(file, (LONG)(DWORD)offset, &high, FILE_BEGIN);
}
