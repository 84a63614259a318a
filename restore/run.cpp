// restore/run.cpp: what every step of a restore run does alike: asks the user, and stops
// the run by closing its files.
#include "restore/run.h"

// The buttons part of a message box style (MB_TYPEMASK).
static const UINT kButtonsMask = 0x0000000F;

int AskUser(MessageId id, const char *a, const char *b, const char *c)
{
    const UINT type = kMessages[id].type;
    int answer = ShowMessage(g_dialog, id, a, b, c);
    // A box that could not be shown (0: the dialog is gone) was answered by nobody: it
    // counts as the refusing answer, so the run neither overwrites unasked nor asks for a
    // piece for ever.
    if (answer == 0)
        answer = (type & kButtonsMask) == MB_YESNO ? IDNO : IDCANCEL;
    return answer;
}

void CloseRecovery(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    for (int i = 0; i < kMaxRecoveryRows; i++) {
        if (r->rows[i] != INVALID_HANDLE_VALUE)
            CloseHandle(r->rows[i]);
        r->rows[i] = INVALID_HANDLE_VALUE;
    }
    r->file = INVALID_HANDLE_VALUE;
    r->usableRows = 0;
}

void CloseRunFiles(RestoreRun *run)
{
    if (run->source != INVALID_HANDLE_VALUE)
        CloseHandle(run->source);
    if (run->destination != INVALID_HANDLE_VALUE)
        CloseHandle(run->destination);
    run->source = INVALID_HANDLE_VALUE;
    run->destination = INVALID_HANDLE_VALUE;
    CloseRecovery(run);
}
