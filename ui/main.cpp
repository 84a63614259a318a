// ui/main.cpp: the entry: creates the dialog and runs a plain message loop.
#include <windows.h>

#include <commctrl.h>

#include "resource.h"
#include "restore/messages.h"
#include "ui/dialog.h"
#include "ui/state.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_RESTORE), NULL, DialogProc, 0);
    if (dialog == NULL) {
        // Without a window the loop would wait for ever.
        ShowMessage(NULL, kMsgScreenFailed);
        return 1;
    }
    g_dialog = dialog;
    g_instance = instance;
    ShowWindow(dialog, SW_RESTORE);

    // No dialog-manager keyboard handling and no accelerators: the buttons' mnemonics
    // arrive as WM_MENUCHAR.
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
