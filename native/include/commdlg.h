// native/include/commdlg.h: the stand-in's common-dialog declarations the program uses.
#pragma once
#include <windows.h>

typedef UINT_PTR(CALLBACK *LPOFNHOOKPROC)(HWND, UINT, WPARAM, LPARAM);

// The record as Windows declares it; the program passes the 76-byte size that leaves out
// the last three members, as a 32-bit Windows program does.
typedef struct tagOFNA {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCSTR lpstrFilter;
    LPSTR lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    LPSTR lpstrFile;
    DWORD nMaxFile;
    LPSTR lpstrFileTitle;
    DWORD nMaxFileTitle;
    LPCSTR lpstrInitialDir;
    LPCSTR lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    LPCSTR lpstrDefExt;
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    LPCSTR lpTemplateName;
    void *pvReserved;
    DWORD dwReserved;
    DWORD FlagsEx;
} OPENFILENAMEA, *LPOPENFILENAMEA;

#define OFN_HIDEREADONLY 0x00000004u
#define OFN_PATHMUSTEXIST 0x00000800u
#define OFN_EXPLORER 0x00080000u

// Extended errors that CommDlgExtendedError answers.
#define CDERR_STRUCTSIZE 0x0001
#define FNERR_INVALIDFILENAME 0x3002
#define FNERR_BUFFERTOOSMALL 0x3003

BOOL WINAPI GetSaveFileNameA(LPOPENFILENAMEA ofn);
DWORD WINAPI CommDlgExtendedError(void);
short WINAPI GetFileTitleA(LPCSTR file, LPSTR title, WORD size);
