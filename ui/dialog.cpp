// ui/dialog.cpp: the dialog procedure and the run state's life on the UI thread: Start
// starts the worker, Close closes or asks the worker to stop, the poll reports its end.
#include "ui/dialog.h"

#include "resource.h"
#include "restore/messages.h"
#include "restore/worker.h"
#include "ui/startup.h"
#include "ui/state.h"

// The controls a restore run takes away from the user and the poll gives back.
static void EnableRunControls(HWND dialog, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, IDC_START), enable);
    EnableWindow(GetDlgItem(dialog, IDC_BROWSE), enable);
    EnableWindow(GetDlgItem(dialog, IDC_DESTINATION), enable);
}

// Start: only from idle with the Start button enabled, so no second worker can begin
// while one runs or before the poll has reported the last one's end; and only once the
// start-up load has read the executable's header, since a click or Alt+X queued before
// its timer would otherwise start a run with nothing to restore.
static void OnStart(HWND dialog)
{
    if (!g_restoreInfoLoaded || g_runState.load() != kRunIdle || !IsWindowEnabled(GetDlgItem(dialog, IDC_START)))
        return;
    g_runState.store(kRunRunning);
    HANDLE worker = CreateThread(NULL, 0, RestoreWorker, NULL, 0, NULL);
    if (worker == NULL) {
        // Nothing would ever end a run without its worker.
        g_runState.store(kRunIdle);
        ShowMessage(dialog, kMsgNoStart);
        return;
    }
    // The worker is never waited for; its handle would only leak one per run.
    CloseHandle(worker);
    SetDlgItemTextA(dialog, IDC_INFO, "現在復元中です。しばらくお待ち下さい。");
    SetTimer(dialog, kStatusTimer, kStatusInterval, StatusPoll);
    SetDlgItemTextA(dialog, IDC_CLOSE, "中止(&C)");
    EnableRunControls(dialog, FALSE);
}

// Close while idle closes the program; while running it asks the worker to stop. The
// request replaces only a running state, never the worker's final 0 or -1.
static void OnCloseOrCancel(HWND dialog)
{
    LONG state = kRunRunning;
    if (g_runState.compare_exchange_strong(state, kRunCancelRequested))
        return;
    if (state == kRunIdle)
        PostMessageA(dialog, WM_CLOSE, 0, 0);
}

void CALLBACK StatusPoll(HWND dialog, UINT, UINT_PTR, DWORD)
{
    LONG state = g_runState.load();
    if (state == kRunStopped) {
        SetDlgItemTextA(dialog, IDC_INFO, "復元を中止しました。");
        g_runState.store(kRunIdle);
    } else if (state == kRunIdle) {
        SetDlgItemTextA(dialog, IDC_INFO, "復元が終了しました。");
    } else {
        return;
    }
    KillTimer(dialog, kStatusTimer);
    SetDlgItemTextA(dialog, IDC_CLOSE, "閉じる(&C)");
    EnableRunControls(dialog, TRUE);
}

// Alt and a letter: the window has no menu, so the mnemonics arrive here.
static void OnMenuChar(HWND dialog, WORD character)
{
    if (character == 'C' || character == 'c')
        PostMessageA(dialog, WM_COMMAND, IDC_CLOSE, 0);
    else if (character == 'X' || character == 'x')
        PostMessageA(dialog, WM_COMMAND, IDC_START, 0);
}

static void OnCommand(HWND dialog, WORD id)
{
    if (id == IDC_START)
        OnStart(dialog);
    else if (id == IDC_CLOSE)
        OnCloseOrCancel(dialog);
    else if (id == IDC_BROWSE && IsWindowEnabled(GetDlgItem(dialog, IDC_BROWSE)))
        // Not while a run has the button disabled: the chooser builds its filter in the
        // text buffer that the worker is using.
        ChooseDestination();
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetTimer(dialog, kStartUpTimer, kStartUpDelay, NULL);
        return 0;
    case WM_TIMER:
        // Only the tick that stops the timer loads: a late or repeated WM_TIMER would read
        // the header again, overwrite the destination the user typed and rewrite the
        // values a running worker reads.
        if (wParam == kStartUpTimer && KillTimer(dialog, kStartUpTimer))
            LoadRestoreInfo();
        return 0;
    case WM_COMMAND:
        OnCommand(dialog, LOWORD(wParam));
        return 0;
    case WM_MENUCHAR:
        OnMenuChar(dialog, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        return DefWindowProcA(dialog, message, wParam, lParam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return 0;
}
