// native/windows.cpp: the stand-in's windows: the in-memory dialog of template 102 and its
// controls, per-thread message queues with cross-thread sends, timers, and message boxes.
#include <windows.h>
#include <commctrl.h>

#include "shim.h"
#include "shim_internal.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

// A dialog (parent NULL) or one of its controls.
struct Window {
    HWND parent;
    int id;
    const char *className;
    std::string text;
    bool enabled;
    bool visible;
    bool alive;
    bool destroying;             // between WM_DESTROY and the end of the destruction
    DLGPROC procedure;           // dialogs only
    std::thread::id owner;       // the thread that created the dialog
    std::vector<HWND> children;  // dialogs only, in template order
    int rangeLow, rangeHigh, position;
};

// A SendMessageA from another thread, waiting on the sender's stack until the owner ran it.
struct SentCall {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
    bool done;
};

// One thread's messages. Queues are never removed, so references to them stay valid.
struct Queue {
    std::deque<MSG> posted;
    std::deque<SentCall *> sent;
    bool quit;
    int exitCode;
};

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT elapse;
    TIMERPROC procedure;
    std::thread::id owner;
    Clock::time_point due;
};

struct ControlTemplate {
    int id;
    const char *className;
    const char *text; // code page 932
};

const uintptr_t kRestoreTemplate = 102;
// Template 102's controls in order; the texts are the code page 932 bytes of the comments.
const ControlTemplate kRestoreControls[] = {
    {1, "Button", "\x95\x9C\x8C\xB3\x8AJ\x8En(&X)"},                               // 復元開始(&X)
    {2, "Button", "\x95\xC2\x82\xB6\x82\xE9(&C)"},                                  // 閉じる(&C)
    {1000, "Edit", ""},
    {1001, "Static", "Static"},
    {-1, "Static", "\x95\x9C\x8C\xB3\x90\xE6\x83t\x83@\x83" "C\x83\x8B\x96\xBC"},   // 復元先ファイル名
    {1002, "Button", "\x8EQ\x8F\xC6(&R)"},                                          // 参照(&R)
    {-1, "Button", "\x8F\xEE\x95\xF1"},                                             // 情報 (group box)
    {1003, PROGRESS_CLASSA, ""},
};
// Window handles come from a range of their own, apart from file and thread handles.
const uintptr_t kFirstWindowHandle = 0x20000000;
// Windows raises shorter timer intervals to this.
const UINT kMinimumTimerMs = 10;
const int kDefaultRangeHigh = 100;
const char kDefaultBoxCaption[] = "Error";

std::mutex g_windowLock;                  // guards everything below; any thread
std::condition_variable g_wake;           // a queue, a sent call or a timer changed
std::map<uintptr_t, Window> g_windows;    // every window since the last ShimReset
uintptr_t g_nextWindowHandle = kFirstWindowHandle;
HWND g_lastDialog;                        // the dialog CreateDialogParamA made last
std::map<std::thread::id, Queue> g_queues;
std::vector<Timer> g_timers;
double g_timeScale = 1.0;
ShimObserver g_observer;
void *g_observerContext;
ShimMessageBoxHandler g_boxHandler;
void *g_boxContext;
const Clock::time_point g_start = Clock::now();

DWORD Tick()
{
    return (DWORD)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
}

// The live window behind a handle, or NULL. Called under g_windowLock.
Window *Lookup(HWND handle)
{
    auto it = g_windows.find((uintptr_t)handle);
    return it == g_windows.end() || !it->second.alive ? nullptr : &it->second;
}

// Lookup for a call the program made: a missing window sets the last error as Windows does.
Window *Find(HWND handle)
{
    Window *window = Lookup(handle);
    if (!window)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

Clock::duration Interval(UINT elapse)
{
    const double ms = (elapse < kMinimumTimerMs ? kMinimumTimerMs : elapse) * g_timeScale;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

void NotifyObserver(HWND window)
{
    ShimObserver observer;
    void *context;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        observer = g_observer;
        context = g_observerContext;
    }
    if (observer)
        observer(context, window);
}

// Marks a dialog and its controls destroyed, drops its timers and releases the threads
// still waiting on sends to it (they get 0). Called under g_windowLock.
void DestroyLocked(HWND dialog)
{
    Window &window = g_windows[(uintptr_t)dialog];
    window.alive = false;
    for (HWND child : window.children)
        g_windows[(uintptr_t)child].alive = false;
    for (size_t i = g_timers.size(); i-- > 0;)
        if (g_timers[i].window == dialog)
            g_timers.erase(g_timers.begin() + i);
    for (auto &entry : g_queues) {
        std::deque<SentCall *> &sent = entry.second.sent;
        for (size_t i = sent.size(); i-- > 0;) {
            if (sent[i]->window == dialog) {
                sent[i]->result = 0;
                sent[i]->done = true;
                sent.erase(sent.begin() + i);
            }
        }
    }
    g_wake.notify_all();
}

// Runs the oldest send waiting in this thread's queue. Entered and left under the lock.
void RunSent(std::unique_lock<std::mutex> &lock, Queue &queue)
{
    SentCall *call = queue.sent.front();
    queue.sent.pop_front();
    Window *window = Lookup(call->window);
    const DLGPROC procedure = window ? window->procedure : nullptr;
    lock.unlock();
    const LRESULT result = procedure ? procedure(call->window, call->message, call->wParam, call->lParam) : 0;
    lock.lock();
    call->result = result;
    call->done = true;
    g_wake.notify_all();
}

// A control's own messages. Called under g_windowLock; *changed when something to redraw changed.
LRESULT ControlMessage(Window &control, UINT message, WPARAM wParam, LPARAM lParam, bool *changed)
{
    const bool progress = strcmp(control.className, PROGRESS_CLASSA) == 0;
    if (message == WM_SETTEXT) {
        control.text = lParam ? (const char *)lParam : "";
        *changed = true;
        return TRUE;
    }
    if (message == WM_GETTEXT) {
        if (wParam == 0)
            return 0;
        const size_t length = control.text.size() < wParam - 1 ? control.text.size() : wParam - 1;
        memcpy((char *)lParam, control.text.data(), length);
        ((char *)lParam)[length] = '\0';
        return (LRESULT)length;
    }
    if (progress && message == PBM_SETRANGE) {
        const LRESULT previous = (LRESULT)(DWORD)MAKELONG(control.rangeLow, control.rangeHigh);
        control.rangeLow = LOWORD(lParam);
        control.rangeHigh = HIWORD(lParam);
        if (control.position < control.rangeLow) control.position = control.rangeLow;
        if (control.position > control.rangeHigh) control.position = control.rangeHigh;
        *changed = true;
        return previous;
    }
    if (progress && message == PBM_SETPOS) {
        const int requested = (int)(INT_PTR)wParam;
        ShimLogProgress(requested);
        const int previous = control.position;
        control.position = requested < control.rangeLow    ? control.rangeLow
                           : requested > control.rangeHigh ? control.rangeHigh
                                                           : requested;
        *changed = true;
        return previous;
    }
    if (progress && message == PBM_GETPOS)
        return control.position;
    ShimRefuse("SendMessageA", "this message to a control");
}

// Delivers a message to a control or, on its owning thread, to a dialog's procedure.
// Entered under the lock with a live window; leaves it unlocked.
LRESULT Deliver(std::unique_lock<std::mutex> &lock, Window *window, HWND handle, UINT message, WPARAM wParam,
                LPARAM lParam)
{
    if (window->parent) {
        bool changed = false;
        const LRESULT result = ControlMessage(*window, message, wParam, lParam, &changed);
        lock.unlock();
        if (changed)
            NotifyObserver(handle);
        return result;
    }
    const DLGPROC procedure = window->procedure;
    lock.unlock();
    return procedure(handle, message, wParam, lParam);
}

HWND NewWindow(HWND parent, int id, const char *className, const char *text, DLGPROC procedure)
{
    const uintptr_t handle = g_nextWindowHandle;
    g_nextWindowHandle += 4;
    g_windows[handle] = Window{parent, id, className, text, true, false, true, false, procedure,
                               std::this_thread::get_id(), {}, 0, kDefaultRangeHigh, 0};
    return (HWND)handle;
}

} // namespace

// Models creating the modeless dialog of template 102 on the calling thread, WM_INITDIALOG included.
HWND WINAPI CreateDialogParamA(HINSTANCE, LPCSTR templateName, HWND, DLGPROC procedure, LPARAM initParam)
{
    if ((uintptr_t)templateName != kRestoreTemplate || !procedure)
        ShimRefuse("CreateDialogParamA", "a template other than 102, or no dialog procedure");
    HWND dialog, firstControl;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        int omittedControl = 0;
        if (ShimFaultOnCreateDialog(&omittedControl)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        dialog = NewWindow(NULL, 0, "#32770", "", procedure);
        std::vector<HWND> children;
        for (const ControlTemplate &control : kRestoreControls)
            if (control.id != omittedControl)
                children.push_back(NewWindow(dialog, control.id, control.className, control.text, nullptr));
        g_windows[(uintptr_t)dialog].children = children;
        ShimLogDialogCreated();
        firstControl = children.front();
        g_lastDialog = dialog;
    }
    procedure(dialog, WM_INITDIALOG, (WPARAM)firstControl, initParam);
    NotifyObserver(dialog);
    std::lock_guard<std::mutex> lock(g_windowLock);
    return Lookup(dialog) ? dialog : NULL;
}

// Models the control lookup; NULL with ERROR_CONTROL_ID_NOT_FOUND for an unknown ID.
HWND WINAPI GetDlgItem(HWND dialog, int id)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    Window *window = Find(dialog);
    if (!window)
        return NULL;
    for (HWND child : window->children)
        if (g_windows[(uintptr_t)child].id == id)
            return child;
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return NULL;
}

// Models reading a control's text: at most size-1 bytes and a zero; the length copied.
UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int size)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control) {
        if (size > 0)
            text[0] = '\0';
        return 0;
    }
    return (UINT)SendMessageA(control, WM_GETTEXT, size > 0 ? (WPARAM)size : 0, (LPARAM)text);
}

// Models setting a control's text.
BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    HWND control = GetDlgItem(dialog, id);
    return control ? (BOOL)SendMessageA(control, WM_SETTEXT, 0, (LPARAM)text) : FALSE;
}

// Models enabling or disabling a window; answers whether it was disabled before.
BOOL WINAPI EnableWindow(HWND handle, BOOL enable)
{
    bool wasDisabled;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        Window *window = Find(handle);
        if (!window)
            return FALSE;
        wasDisabled = !window->enabled;
        window->enabled = enable != FALSE;
    }
    NotifyObserver(handle);
    return wasDisabled ? TRUE : FALSE;
}

// Models the enabled-state query; FALSE for a window that does not exist.
BOOL WINAPI IsWindowEnabled(HWND handle)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    Window *window = Find(handle);
    return window && window->enabled ? TRUE : FALSE;
}

// Models showing a window; answers whether it was visible before.
BOOL WINAPI ShowWindow(HWND handle, int command)
{
    if (command != SW_SHOW && command != SW_RESTORE)
        ShimRefuse("ShowWindow", "commands other than SW_SHOW and SW_RESTORE");
    bool wasVisible;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        Window *window = Find(handle);
        if (!window)
            return FALSE;
        wasVisible = window->visible;
        window->visible = true;
    }
    NotifyObserver(handle);
    return wasVisible ? TRUE : FALSE;
}

// Models loading the common controls: the progress bar class is always there.
void WINAPI InitCommonControls(void)
{
}

// Models a sent message: a control answers at once; a dialog's procedure runs on the
// dialog's thread, so a sender on another thread waits until that thread's loop ran it.
LRESULT WINAPI SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock<std::mutex> lock(g_windowLock);
    Window *window = Find(handle);
    if (!window)
        return 0;
    const std::thread::id self = std::this_thread::get_id();
    if (window->parent || window->owner == self)
        return Deliver(lock, window, handle, message, wParam, lParam);
    SentCall call{handle, message, wParam, lParam, 0, false};
    g_queues[window->owner].sent.push_back(&call);
    g_wake.notify_all();
    // While it waits, the sender runs the sends that reach its own thread, as Windows does.
    Queue &own = g_queues[self];
    while (!call.done) {
        if (!own.sent.empty())
            RunSent(lock, own);
        else
            g_wake.wait(lock);
    }
    return call.result;
}

// Models posting to a window's thread (a NULL window posts to the caller's own thread).
BOOL WINAPI PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    const MSG posted = {handle, message, wParam, lParam, Tick(), {0, 0}};
    ShimLogPosted(posted);
    std::thread::id target = std::this_thread::get_id();
    if (handle) {
        Window *window = Find(handle);
        if (!window)
            return FALSE;
        target = window->owner;
    }
    g_queues[target].posted.push_back(posted);
    g_wake.notify_all();
    return TRUE;
}

// Models asking the calling thread's loop to end.
void WINAPI PostQuitMessage(int exitCode)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    Queue &queue = g_queues[std::this_thread::get_id()];
    queue.quit = true;
    queue.exitCode = exitCode;
    g_wake.notify_all();
}

// Models the message wait: sent messages run here, then posted ones, then WM_QUIT (FALSE),
// then a due timer's WM_TIMER; messages for destroyed windows are dropped.
BOOL WINAPI GetMessageA(LPMSG msg, HWND handle, UINT filterMin, UINT filterMax)
{
    if (handle || filterMin || filterMax)
        ShimRefuse("GetMessageA", "window or message filters");
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(g_windowLock);
    Queue &queue = g_queues[self];
    for (;;) {
        if (!queue.sent.empty()) {
            RunSent(lock, queue);
            continue;
        }
        while (!queue.posted.empty()) {
            const MSG posted = queue.posted.front();
            queue.posted.pop_front();
            if (posted.hwnd && !Lookup(posted.hwnd))
                continue;
            *msg = posted;
            return TRUE;
        }
        if (queue.quit) {
            queue.quit = false;
            *msg = MSG{NULL, WM_QUIT, (WPARAM)queue.exitCode, 0, Tick(), {0, 0}};
            return FALSE;
        }
        const Clock::time_point now = Clock::now();
        Timer *next = nullptr;
        for (Timer &timer : g_timers)
            if (timer.owner == self && (!next || timer.due < next->due))
                next = &timer;
        if (next && next->due <= now) {
            *msg = MSG{next->window, WM_TIMER, next->id, (LPARAM)next->procedure, Tick(), {0, 0}};
            next->due = now + Interval(next->elapse);
            return TRUE;
        }
        if (next) {
            const Clock::time_point due = next->due;
            g_wake.wait_until(lock, due);
        } else {
            g_wake.wait(lock);
        }
    }
}

// Models the keyboard translation step: nothing to translate here.
BOOL WINAPI TranslateMessage(const MSG *)
{
    return FALSE;
}

// Models dispatching: a timer procedure for its WM_TIMER, else the window's procedure.
LRESULT WINAPI DispatchMessageA(const MSG *msg)
{
    std::unique_lock<std::mutex> lock(g_windowLock);
    Window *window = msg->hwnd ? Find(msg->hwnd) : nullptr;
    if (!window)
        return 0;
    if (window->owner != std::this_thread::get_id())
        ShimRefuse("DispatchMessageA", "dispatching to another thread's window");
    if (msg->message == WM_TIMER && msg->lParam) {
        lock.unlock();
        ((TIMERPROC)msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    return Deliver(lock, window, msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// Models a window timer of the calling thread's dialog; setting it again restarts it.
UINT_PTR WINAPI SetTimer(HWND handle, UINT_PTR id, UINT elapse, TIMERPROC procedure)
{
    if (!handle || id == 0)
        ShimRefuse("SetTimer", "thread timers and timer ID 0");
    std::lock_guard<std::mutex> lock(g_windowLock);
    Window *window = Find(handle);
    if (!window)
        return 0;
    if (window->owner != std::this_thread::get_id())
        ShimRefuse("SetTimer", "a timer for another thread's window");
    const Clock::time_point due = Clock::now() + Interval(elapse);
    for (Timer &timer : g_timers) {
        if (timer.window == handle && timer.id == id) {
            timer.elapse = elapse;
            timer.procedure = procedure;
            timer.due = due;
            return id;
        }
    }
    g_timers.push_back(Timer{handle, id, elapse, procedure, window->owner, due});
    g_wake.notify_all();
    return id;
}

// Models stopping a window timer; FALSE when there is no such timer.
BOOL WINAPI KillTimer(HWND handle, UINT_PTR id)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    Window *window = Find(handle);
    if (!window)
        return FALSE;
    if (window->owner != std::this_thread::get_id())
        ShimRefuse("KillTimer", "a timer of another thread's window");
    for (size_t i = 0; i < g_timers.size(); i++) {
        if (g_timers[i].window == handle && g_timers[i].id == id) {
            g_timers.erase(g_timers.begin() + i);
            return TRUE;
        }
    }
    return FALSE;
}

// Models the default handling: WM_CLOSE destroys the window (WM_DESTROY first); others 0.
LRESULT WINAPI DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM)
{
    if (message != WM_CLOSE)
        return 0;
    DLGPROC procedure;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        Window *window = Find(handle);
        if (!window || window->destroying)
            return 0;
        if (window->parent || window->owner != std::this_thread::get_id())
            ShimRefuse("DefWindowProcA", "closing a control or another thread's window");
        window->destroying = true;
        procedure = window->procedure;
    }
    procedure(handle, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        DestroyLocked(handle);
    }
    NotifyObserver(handle);
    return 0;
}

// Models a message box with the handler's answer; an owner that no longer exists makes it
// fail with 0, as Windows does, and nothing is shown or recorded.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    ShimMessageBoxHandler handler;
    void *context;
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        if (owner && !Find(owner))
            return 0;
        handler = g_boxHandler;
        context = g_boxContext;
    }
    const char *shownText = text ? text : "";
    const char *shownCaption = caption ? caption : kDefaultBoxCaption;
    if (!handler) {
        fprintf(stderr, "native stand-in: MessageBoxA with no handler set: [%s] %s (type 0x%x)\n", shownCaption,
                shownText, type);
        abort();
    }
    const int answer = handler(context, owner, shownText, shownCaption, type);
    ShimLogMessageBox(owner, shownText, shownCaption, type, answer);
    NotifyObserver(owner);
    return answer;
}

void ShimSetTimeScale(double scale)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    g_timeScale = scale > 0 ? scale : 1.0;
}

HWND ShimDialog(void)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    return g_lastDialog && Lookup(g_lastDialog) ? g_lastDialog : NULL;
}

std::vector<ShimControl> ShimDialogControls(HWND dialog)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    std::vector<ShimControl> controls;
    Window *window = Lookup(dialog);
    if (!window)
        return controls;
    for (HWND child : window->children) {
        const Window &control = g_windows[(uintptr_t)child];
        controls.push_back(ShimControl{child, control.id, control.className, control.text, control.enabled,
                                       control.rangeLow, control.rangeHigh, control.position});
    }
    return controls;
}

void ShimSetObserver(ShimObserver observer, void *context)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    g_observer = observer;
    g_observerContext = context;
}

void ShimSetMessageBoxHandler(ShimMessageBoxHandler handler, void *context)
{
    std::lock_guard<std::mutex> lock(g_windowLock);
    g_boxHandler = handler;
    g_boxContext = context;
}

void ShimReset(void)
{
    // Destroy first, so that threads blocked on a send to a dialog can go on and end.
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        for (auto &entry : g_windows)
            if (!entry.second.parent && entry.second.alive)
                DestroyLocked((HWND)entry.first);
    }
    ShimJoinThreads();
    ShimReserveThreads();
    {
        std::lock_guard<std::mutex> lock(g_windowLock);
        g_windows.clear();
        g_lastDialog = NULL;
        for (auto &entry : g_queues) {
            entry.second.posted.clear();
            entry.second.quit = false;
        }
        g_timers.clear();
        g_timeScale = 1.0;
        g_observer = nullptr;
        g_observerContext = nullptr;
        g_boxHandler = nullptr;
        g_boxContext = nullptr;
    }
    ShimResetTesting();
    ShimSetModulePath(NULL);
    ShimSetWriteSink(NULL);
    ShimSetFileBuffers(kShimDefaultFileBuffer);
    ShimResetSaveDialog();
}
