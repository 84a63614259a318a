// ui/startup.cpp: reads the executable's own first-piece header once the dialog exists,
// and proposes the destination beside the executable.
#include "ui/startup.h"

#include <commctrl.h>
#include <commdlg.h>
#include <ctype.h>
#include <string.h>

#include "format/text.h"
#include "resource.h"
#include "restore/load.h"
#include "restore/messages.h"
#include "ui/state.h"

// Shows why the program cannot go on, then closes the dialog.
static void FailStartUp(MessageId id)
{
    ShowMessage(g_dialog, id, g_restoreInfo.ownPath);
    PostMessageA(g_dialog, WM_CLOSE, 0, 0);
}

void UpperCaseCp932(char *text)
{
    for (unsigned char *p = (unsigned char *)text; *p; p++) {
        if (IsLeadByte(*p)) {
            if (p[1] == 0)
                break;
            p++;
        } else if (*p >= 'a' && *p <= 'z') {
            *p = (unsigned char)toupper(*p);
        }
    }
}

// The proposed destination, built in the text buffer: the executable's path upper-cased,
// cut at the last place its file title appears, followed by the stored name. With the
// title not found (or not known) the proposal is the upper-cased own path.
static void ProposeDestination(void)
{
    const RestoreInfo &info = g_restoreInfo;
    char title[kPathBufferSize];
    strcpy(g_textBuffer, info.ownPath);
    if (GetFileTitleA(info.ownPath, title, (WORD)sizeof title) != 0)
        title[0] = 0;
    UpperCaseCp932(title);
    UpperCaseCp932(g_textBuffer);
    if (title[0] == 0)
        return;
    char *last = NULL;
    for (char *hit = strstr(g_textBuffer, title); hit != NULL; hit = strstr(hit + 1, title))
        last = hit;
    if (last != NULL)
        strcpy(last, info.storedName);
}

void LoadRestoreInfo(void)
{
    RestoreInfo &info = g_restoreInfo;
    HWND progress = GetDlgItem(g_dialog, IDC_PROGRESS);
    if (progress == NULL) {
        FailStartUp(kMsgScreenFailed);
        return;
    }
    SendMessageA(progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(progress, PBM_SETPOS, 0, 0);

    // A front end that loaded the set's information from its recovery file before the
    // dialog (the executable is missing) leaves only the dialog to fill.
    if (!info.firstPieceMissing) {
        GetModuleFileNameA(NULL, info.ownPath, kShortPathSize);
        info.ownPath[kShortPathSize - 1] = 0;
        const int loaded = LoadFromExecutable();
        if (loaded != kLoaded) {
            FailStartUp((MessageId)loaded);
            return;
        }
    }

    char infoText[512];
    wsprintfA(infoText, "分割元ファイル %s\r\nサイズ  %sBytes", info.storedName, GroupedDecimal(info.totalSize));
    ProposeDestination();
    SetDlgItemTextA(g_dialog, IDC_DESTINATION, g_textBuffer);
    SetDlgItemTextA(g_dialog, IDC_INFO, infoText);
    g_restoreInfoLoaded = TRUE;
}
