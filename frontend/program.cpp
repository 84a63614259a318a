// frontend/program.cpp: runs the program's WinMain on a thread of its own over the native
// stand-in, reads its dialog, works its controls and hands its questions to the front end.
#include "frontend/program.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "resource.h"
#include "restore/messages.h"
#include "shim.h"

namespace {

// The template's two unnamed controls: the field's label and the group box.
const int kUnnamedControl = -1;
const char kStaticClass[] = "Static";
// The program's timers run at this fraction of their intervals: its status poll's 500 ms
// become 10 ms, so that the front end (and a script waiting for its exit status) sees the
// end of a run within 10 ms rather than up to half a second after the last byte. The poll
// shows the same texts in the same order; only its wait is shorter.
const double kTimeScale = 0.02;

int g_wakePipe[2] = {-1, -1};       // any thread writes one byte to wake the front end
std::thread g_uiThread;             // runs WinMain; started and joined by the main thread
std::thread::id g_uiThreadId;       // written by the UI thread itself before WinMain
std::atomic<bool> g_ended{false};   // WinMain has returned; written by the UI thread
int g_result;                       // WinMain's result; written by the UI thread before g_ended

std::mutex g_questionLock;          // guards the question and its reply; any thread
std::condition_variable g_questionChanged;
bool g_hasQuestion;                 // set by the asking thread, cleared once it took the reply
bool g_answered;                    // set by the front end's thread
Question g_question;
Reply g_reply;

void Wake(void)
{
    // A full pipe already wakes the reader; the byte may then be dropped.
    const char byte = 0;
    ssize_t ignored = write(g_wakePipe[1], &byte, 1);
    (void)ignored;
}

void Observe(void *, HWND)
{
    Wake();
}

// Blocks the asking thread (the worker, or the UI thread as a modal box would) until the
// front end has answered. One question at a time; a second asker waits its turn.
Reply Ask(const Question &question)
{
    std::unique_lock<std::mutex> lock(g_questionLock);
    g_questionChanged.wait(lock, [] { return !g_hasQuestion; });
    g_question = question;
    g_hasQuestion = true;
    g_answered = false;
    Wake();
    g_questionChanged.wait(lock, [] { return g_answered; });
    const Reply reply = g_reply;
    g_hasQuestion = false;
    g_answered = false;
    g_questionChanged.notify_all();
    Wake();
    return reply;
}

int AnswerMessageBox(void *, HWND, const char *text, const char *caption, UINT type)
{
    Question question;
    question.text = text;
    question.caption = caption;
    question.type = type;
    // The program names the box it shows just before it shows it, on this thread.
    question.message = g_shownMessage;
    question.fromUiThread = std::this_thread::get_id() == g_uiThreadId;
    return Ask(question).button;
}

BOOL AnswerSaveDialog(void *, OPENFILENAMEA *ofn, DWORD *extendedError)
{
    Question question;
    question.saveDialog = true;
    question.fromUiThread = true;
    question.title = ofn->lpstrTitle ? ofn->lpstrTitle : "";
    question.fileName.assign(ofn->lpstrFile, strnlen(ofn->lpstrFile, ofn->nMaxFile));
    for (const char *p = ofn->lpstrFilter; p && *p; p += strlen(p) + 1)
        question.filters.push_back(p);
    question.maxFile = ofn->nMaxFile;
    const Reply reply = Ask(question);
    // Never an extended error: after one the program changes its current folder, and the
    // set's piece files are found relative to it.
    *extendedError = 0;
    if (!reply.chosen || reply.path.size() >= ofn->nMaxFile)
        return FALSE;
    memcpy(ofn->lpstrFile, reply.path.c_str(), reply.path.size() + 1);
    return TRUE;
}

void RunWinMain(void)
{
    // The front end's thread takes the signals; the program's threads (the worker inherits
    // this mask) never see them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    g_uiThreadId = std::this_thread::get_id();
    char commandLine[] = "";
    g_result = WinMain(NULL, NULL, commandLine, SW_SHOW);
    g_ended = true;
    Wake();
}

} // namespace

int StartProgram(const char *modulePath)
{
    if (pipe(g_wakePipe) != 0)
        return -1;
    for (int fd : g_wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ShimSetModulePath(modulePath);
    ShimSetTimeScale(kTimeScale);
    ShimSetMessageBoxHandler(AnswerMessageBox, nullptr);
    ShimSetSaveDialogHandler(AnswerSaveDialog, nullptr);
    ShimSetObserver(Observe, nullptr);
    g_uiThread = std::thread(RunWinMain);
    return g_wakePipe[0];
}

void DrainProgramWake(void)
{
    char bytes[256];
    while (read(g_wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool ProgramEnded(void)
{
    return g_ended;
}

int EndProgram(void)
{
    if (g_uiThread.joinable())
        g_uiThread.join();
    ShimJoinThreads();
    return g_result;
}

DialogView ViewDialog(void)
{
    DialogView view;
    HWND dialog = ShimDialog();
    if (!dialog)
        return view;
    const std::vector<ShimControl> controls = ShimDialogControls(dialog);
    view.alive = !controls.empty();
    for (const ShimControl &control : controls) {
        switch (control.id) {
        case IDC_START: view.start = {control.text, control.enabled}; break;
        case IDC_CLOSE: view.close = {control.text, control.enabled}; break;
        case IDC_BROWSE: view.browse = {control.text, control.enabled}; break;
        case IDC_INFO: view.info = control.text; break;
        case IDC_DESTINATION:
            view.destination = control.text;
            view.destinationEnabled = control.enabled;
            break;
        case IDC_PROGRESS:
            view.rangeLow = control.rangeLow;
            view.rangeHigh = control.rangeHigh;
            view.position = control.position;
            break;
        case kUnnamedControl:
            (control.className == kStaticClass ? view.label : view.group) = control.text;
            break;
        }
    }
    return view;
}

bool PendingQuestion(Question *question)
{
    std::lock_guard<std::mutex> lock(g_questionLock);
    if (!g_hasQuestion || g_answered)
        return false;
    *question = g_question;
    return true;
}

void AnswerQuestion(const Reply &reply)
{
    std::lock_guard<std::mutex> lock(g_questionLock);
    if (!g_hasQuestion || g_answered)
        return;
    g_reply = reply;
    g_answered = true;
    g_questionChanged.notify_all();
}

void PressButton(int id)
{
    HWND dialog = ShimDialog();
    if (dialog)
        PostMessageA(dialog, WM_COMMAND, (WPARAM)id, (LPARAM)GetDlgItem(dialog, id));
}

void PressMnemonic(char letter)
{
    HWND dialog = ShimDialog();
    if (dialog)
        PostMessageA(dialog, WM_MENUCHAR, (WPARAM)(unsigned char)letter, 0);
}

void TypeDestination(const std::string &text)
{
    HWND dialog = ShimDialog();
    if (dialog)
        SetDlgItemTextA(dialog, IDC_DESTINATION, text.c_str());
}
