// ui/startup.cpp: reads the executable's own first-piece header once the dialog exists,
// and proposes the destination beside the executable.
#include "ui/startup.h"

#include <commctrl.h>
#include <commdlg.h>
#include <ctype.h>
#include <string.h>

#include "format/piece.h"
#include "format/text.h"
#include "resource.h"
#include "restore/messages.h"
#include "ui/state.h"

// Shows why the program cannot go on, then closes the dialog.
static void FailStartUp(MessageId id)
{
    ShowMessage(g_dialog, id, g_restoreInfo.ownPath);
    PostMessageA(g_dialog, WM_CLOSE, 0, 0);
}

static void FailDamaged(void)
{
    FailStartUp(kMsgDamaged);
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

// The stored name's extension, lower-cased (letters A-Z only); empty without a ".".
static void TakeExtension(void)
{
    RestoreInfo &info = g_restoreInfo;
    const char *dot = strrchr(info.storedName, '.');
    info.extension[0] = 0;
    if (dot == NULL)
        return;
    strcpy(info.extension, dot + 1);
    for (char *p = info.extension; *p; p++)
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
}

// Keeps what the header read produced.
static void KeepHeader(const FirstPieceHeader &header)
{
    RestoreInfo &info = g_restoreInfo;
    info.totalSize = header.totalSize;
    info.firstPieceLength = header.pieceLength;
    memcpy(info.setId, header.setId, sizeof info.setId);
    info.year = header.year;
    info.packedTime = header.packedTime;
    strcpy(info.storedName, header.name);
    info.hasDataCheck = header.hasDataCheck;
    info.dataCheck = header.dataCheck;
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

    GetModuleFileNameA(NULL, info.ownPath, kShortPathSize);
    info.ownPath[kShortPathSize - 1] = 0;
    HANDLE file = CreateFileA(info.ownPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        FailStartUp(kMsgOwnUnopenable);
        return;
    }

    // The stored name becomes a path beside the executable: anything but a plain file
    // name (a folder, a drive, a stream, a device) could lead the restore elsewhere, so
    // such a header counts as damaged, as does a size that no writer stores.
    FirstPieceHeader header;
    if (!ReadFirstPieceHeader(file, &header) || !IsPlainFileName(header.name) || header.totalSize < 0) {
        CloseHandle(file);
        FailDamaged();
        return;
    }
    KeepHeader(header);

    char infoText[512];
    wsprintfA(infoText, "分割元ファイル %s\r\nサイズ  %sBytes", info.storedName, GroupedDecimal(info.totalSize));

    DWORD position = SetFilePointer(file, 0, NULL, FILE_CURRENT);
    CloseHandle(file);
    if (position == INVALID_SET_FILE_POINTER) {
        FailStartUp(kMsgInfoFailed);
        return;
    }
    // A header that ends past 2 GiB cannot be a sound one: its length would not fit.
    if (position < (DWORD)kFirstPieceOffset || position - (DWORD)kFirstPieceOffset > 0x7FFFFFFFu) {
        FailDamaged();
        return;
    }
    info.headerLength = (LONG)(position - (DWORD)kFirstPieceOffset);

    ProposeDestination();
    SetDlgItemTextA(g_dialog, IDC_DESTINATION, g_textBuffer);
    SetDlgItemTextA(g_dialog, IDC_INFO, infoText);
    TakeExtension();
    g_restoreInfoLoaded = TRUE;
}
