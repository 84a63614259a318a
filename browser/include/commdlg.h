// browser/include/commdlg.h: the browser stand-in's one common-dialog call, the file title
// the start-up load proposes the destination with.
#pragma once
#include <windows.h>

short WINAPI GetFileTitleA(LPCSTR file, LPSTR title, WORD size);
