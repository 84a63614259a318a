// ui/chooser.cpp: the Browse button: the system's Save dialog, filtered on the split
// file's extension, chooses the destination path.
#include <windows.h>

#include <commdlg.h>
#include <direct.h>
#include <string.h>

#include "resource.h"
#include "ui/dialog.h"
#include "ui/state.h"

// The record's size without the three members that later Windows versions added.
const DWORD kOpenFileNameSize = 76;

// Builds the filter pairs in the text buffer: the split file's own extension first (when
// it has one), then all files, closed by an extra zero byte.
static void BuildFilter(void)
{
    const char *extension = g_restoreInfo.extension;
    char *p = g_textBuffer;
    if (extension[0] != 0) {
        p += wsprintfA(p, "分割元ファイル (*.%s)", extension) + 1;
        p += wsprintfA(p, "*.%s", extension) + 1;
    }
    strcpy(p, "すべてのファイル (*.*)");
    p += strlen(p) + 1;
    strcpy(p, "*.*");
    p += strlen(p) + 1;
    *p = 0;
}

void ChooseDestination(void)
{
    char fileName[kShortPathSize];
    GetDlgItemTextA(g_dialog, IDC_DESTINATION, fileName, sizeof fileName);
    BuildFilter();

    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = kOpenFileNameSize;
    ofn.hwndOwner = g_dialog;
    ofn.hInstance = g_instance;
    ofn.lpstrFilter = g_textBuffer;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = fileName;
    ofn.nMaxFile = sizeof fileName;
    ofn.lpstrTitle = "復元先ファイル名を指定";
    ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;

    // A name the dialog rejects is retried once from the folder it names, with an empty
    // name; a second rejection ends the choice rather than reopening without the user.
    for (int attempt = 0; attempt < 2; attempt++) {
        if (GetSaveFileNameA(&ofn)) {
            SetDlgItemTextA(g_dialog, IDC_DESTINATION, fileName);
            return;
        }
        if (CommDlgExtendedError() == 0 || attempt > 0)
            return;
        _chdir(fileName);
        fileName[0] = 0;
    }
}
