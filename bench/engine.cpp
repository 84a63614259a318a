// bench/engine.cpp: one whole restore by the program's own code over the native stand-in,
// as the program runs it: the dialog is created, its start-up load reads the set's own
// header, the destination is filled in and Start is pressed; the bench's main thread is
// the UI thread and pumps messages until the worker has set the run state back to idle.
#include "bench/engine.h"

#include <windows.h>

#include <commctrl.h>
#include <iconv.h>
#include <string.h>
#include <time.h>

#include "resource.h"
#include "shim.h"
#include "ui/dialog.h"
#include "ui/state.h"

namespace {

// The status poll's 500 ms become 10 ms, so that the loop below sees the end of a run within
// about 10 ms (under 1% of a 1 GiB run) without waking the UI thread every millisecond
// beside the worker; the start-up timer's 1 ms becomes 20 microseconds.
const double kTimeScale = 0.02;

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Code page 932 text as UTF-8 for the terminal.
std::string Utf8(const std::string &text)
{
    iconv_t convert = iconv_open("UTF-8", "CP932");
    if (convert == (iconv_t)-1)
        return text;
    std::string out(text.size() * 3 + 1, '\0');
    char *in = (char *)text.data();
    char *to = &out[0];
    size_t inLeft = text.size(), outLeft = out.size();
    iconv(convert, &in, &inLeft, &to, &outLeft);
    iconv_close(convert);
    out.resize(out.size() - outLeft);
    return out;
}

// A message box in a benchmark run means the run went wrong: note it and refuse, which ends
// the run.
int RefuseMessageBox(void *context, HWND, const char *text, const char *caption, UINT type)
{
    std::string *seen = (std::string *)context;
    if (seen->empty())
        *seen = Utf8(std::string(caption) + ": " + text);
    UINT buttons = type & 0xF;
    return buttons == MB_YESNO ? IDNO : buttons == MB_OKCANCEL ? IDCANCEL : IDOK;
}

std::string DialogText(int id)
{
    char text[kTextBufferSize];
    text[0] = 0;
    GetDlgItemTextA(g_dialog, id, text, sizeof text);
    return text;
}

// Dispatches one message; FALSE when the loop has ended.
bool PumpOne()
{
    MSG msg;
    if (GetMessageA(&msg, NULL, 0, 0) <= 0)
        return false;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

} // namespace

bool EngineAvailable()
{
    return true;
}

const char *EngineUnavailableReason()
{
    return "";
}

EngineResult RunEngine(const std::string &exePath, const std::string &destination, unsigned bufferBytes)
{
    EngineResult result = {false, 0, {0, 0, 0}, ""};
    std::string messageBox;
    ShimReset();
    ShimSetFileBuffers(bufferBytes);
    ShimSetModulePath(exePath.c_str());
    ShimSetTimeScale(kTimeScale);
    ShimSetMessageBoxHandler(RefuseMessageBox, &messageBox);

    InitCommonControls();
    g_dialog = CreateDialogParamA(NULL, MAKEINTRESOURCEA(IDD_RESTORE), NULL, DialogProc, 0);
    if (g_dialog == NULL) {
        result.problem = "the dialog could not be created";
        return result;
    }
    ShowWindow(g_dialog, SW_RESTORE);

    // The start-up load runs on the first timer tick and replaces the template's
    // information text; Start before then would find no restore information.
    const std::string templateInfo = DialogText(IDC_INFO);
    while (ShimDialog() != NULL && DialogText(IDC_INFO) == templateInfo)
        if (!PumpOne())
            break;
    if (ShimDialog() == NULL || !messageBox.empty()) {
        result.problem = "the start-up load failed: " + messageBox;
        ShimReset();
        g_dialog = NULL;
        return result;
    }
    SetDlgItemTextA(g_dialog, IDC_DESTINATION, destination.c_str());

    BeginCountingAllocations();
    double begin = Now();
    SendMessageA(g_dialog, WM_COMMAND, IDC_START, 0);
    if (g_runState.load() != kRunRunning) {
        result.allocations = EndCountingAllocations();
        result.problem = "Start did not start a run: " + messageBox;
        ShimReset();
        g_dialog = NULL;
        return result;
    }
    while (g_runState.load() == kRunRunning || g_runState.load() == kRunCancelRequested)
        if (!PumpOne())
            break;
    result.seconds = Now() - begin;
    result.allocations = EndCountingAllocations();

    // The poll turns the end into the status text the user reads.
    const std::string finished = "復元が終了しました。";
    const std::string stopped = "復元を中止しました。";
    std::string status;
    while (ShimDialog() != NULL && (status = DialogText(IDC_INFO)) != finished && status != stopped)
        if (!PumpOne())
            break;
    result.finished = status == finished && messageBox.empty();
    if (!result.finished)
        result.problem = "the run ended with \"" + Utf8(status) + "\" " + messageBox;
    ShimReset();
    g_dialog = NULL;
    return result;
}
