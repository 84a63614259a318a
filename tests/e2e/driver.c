/* tests/e2e/driver.c: the end-to-end tests' hands inside the Wine prefix. It finds the
 * stub's dialog, reads and sets its controls, presses its buttons and answers its message
 * boxes, driven by one command per line on standard input and answering one line per
 * command on standard output, both UTF-8.
 *
 * Replies begin with "ok" or "err". Texts in replies escape backslash, carriage return,
 * line feed and tab as \\, \r, \n and \t; text arguments are unescaped the same way.
 * Every wait is bounded by a timeout in milliseconds, and every message sent to the
 * program goes through SendMessageTimeoutW, so a hung program cannot hang the driver.
 *
 *   find MS CAPTION       wait for a visible #32770 window with this caption
 *   text ID               the text of control ID (0: the dialog itself)
 *   waittext ID MS TEXT   wait until control ID reads TEXT
 *   enabled ID            1 or 0
 *   pos                   the progress bar's position
 *   children              every child in creation order: id,class,x,y,w,h in client pixels
 *   rect ID               control ID's window rectangle on the screen: x y w h
 *   click ID              post BM_CLICK to button ID
 *   settext ID TEXT       WM_SETTEXT to control ID
 *   menuchar C            send WM_MENUCHAR with character C to the dialog
 *   msgbox MS             wait for a message box of the program: owned, buttons, caption, text
 *   answer ID             press button ID of that message box and wait for it to close
 *   window MS CAPTION     wait for another visible #32770 window of the program with this
 *                         caption (the Save dialog): 1 when the dialog owns it, else 0
 *   wtext ID              the text of that window's control ID
 *   wsettext ID TEXT      WM_SETTEXT to that window's control ID
 *   wpress ID             press that window's button ID (Button class only: a toolbar may
 *                         share the ID) and wait for the window to close
 *   version PATH          PATH's version block: language and code page, the fixed file
 *                         version, then Key=Value for each string a Properties page shows
 *   icons PATH            the images of PATH's icon group 101: WxHxBITS,...
 *   alive                 1 while the dialog exists, else 0
 *   waitgone MS           wait until the dialog no longer exists
 *   quit
 */
#define UNICODE
#define _UNICODE
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum {
    kPollMs = 20,           /* how often a wait looks again */
    kLineBytes = 8192,
    kTextChars = 4096,
    kProgressId = 1003,
    kMessageTextId = 0xFFFF,
    kFileTypeId = 0x470     /* the file-type combo box every Save or Open dialog has */
};

/* The longest a single message to the program may take, and an answered message box to go
 * away; both times the slowdown factor the runner gives in PARCELON_WINE_SLOWDOWN (where
 * Wine's 32-bit side runs under emulation), set once at the start. */
static DWORD g_sendTimeoutMs = 5000;
static DWORD g_closeWaitMs = 5000;

static HWND g_dialog; /* the dialog under test, set by "find" */
static DWORD g_process; /* the process that owns it */
static HWND g_box; /* the message box last reported by "msgbox" */
static HWND g_window; /* the window last found by "window" */

static wchar_t g_wide[kTextChars]; /* scratch for texts on their way in or out */

static void Reply(const char *line) {
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

/* Appends TEXT to OUT as escaped UTF-8. */
static void AppendEscaped(char *out, size_t size, const wchar_t *text) {
    static char utf8[kTextChars * 3 + 1];
    size_t used = strlen(out);
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    if (n <= 0) utf8[0] = 0;
    for (const char *p = utf8; *p && used + 3 < size; ++p) {
        const char *escape = NULL;
        switch (*p) {
        case '\\': escape = "\\\\"; break;
        case '\r': escape = "\\r"; break;
        case '\n': escape = "\\n"; break;
        case '\t': escape = "\\t"; break;
        }
        if (escape) {
            out[used++] = escape[0];
            out[used++] = escape[1];
        } else {
            out[used++] = *p;
        }
    }
    out[used] = 0;
}

/* Unescapes the UTF-8 argument IN into g_wide. */
static const wchar_t *Unescape(const char *in) {
    static char plain[kLineBytes];
    size_t used = 0;
    for (const char *p = in; *p && used + 1 < sizeof plain; ++p) {
        if (*p == '\\' && p[1]) {
            ++p;
            plain[used++] = *p == 'r' ? '\r' : *p == 'n' ? '\n' : *p == 't' ? '\t' : *p;
        } else {
            plain[used++] = *p;
        }
    }
    plain[used] = 0;
    if (MultiByteToWideChar(CP_UTF8, 0, plain, -1, g_wide, kTextChars) <= 0) g_wide[0] = 0;
    return g_wide;
}

static BOOL Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR *result) {
    DWORD_PTR ignored;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, g_sendTimeoutMs,
                               result ? result : &ignored) != 0;
}

/* Reads a window's text by WM_GETTEXT into g_wide; FALSE when the program did not answer. */
static BOOL ReadText(HWND window) {
    DWORD_PTR length = 0;
    g_wide[0] = 0;
    if (!Send(window, WM_GETTEXT, kTextChars, (LPARAM)g_wide, &length)) return FALSE;
    g_wide[length < kTextChars ? length : kTextChars - 1] = 0;
    return TRUE;
}

static BOOL IsClass(HWND window, const wchar_t *name) {
    wchar_t cls[64];
    return GetClassNameW(window, cls, 64) > 0 && lstrcmpiW(cls, name) == 0;
}

static HWND Control(const char *idText) {
    if (!g_dialog) return NULL;
    int id = atoi(idText);
    return id == 0 ? g_dialog : GetDlgItem(g_dialog, id);
}

static BOOL Expired(DWORD start, DWORD timeoutMs) {
    return GetTickCount() - start >= timeoutMs;
}

/* --- find --- */

static const wchar_t *g_wantedCaption;

static BOOL CALLBACK FindDialog(HWND window, LPARAM unused) {
    (void)unused;
    wchar_t caption[256];
    if (!IsWindowVisible(window) || !IsClass(window, L"#32770")) return TRUE;
    if (GetWindowTextW(window, caption, 256) <= 0 || wcscmp(caption, g_wantedCaption) != 0) return TRUE;
    g_dialog = window;
    GetWindowThreadProcessId(window, &g_process);
    return FALSE;
}

static void OnFind(const char *args) {
    char *rest;
    DWORD timeout = strtoul(args, &rest, 10);
    static wchar_t caption[256];
    lstrcpynW(caption, Unescape(rest + (*rest == ' ')), 256);
    g_wantedCaption = caption;
    g_dialog = NULL;
    g_box = NULL;
    DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(FindDialog, 0);
        if (g_dialog) {
            Reply("ok");
            return;
        }
        if (Expired(start, timeout)) break;
        Sleep(kPollMs);
    }
    Reply("err timeout");
}

/* --- reading controls --- */

static void OnText(const char *args) {
    HWND control = Control(args);
    static char line[kLineBytes * 2];
    if (!control) {
        Reply("err nocontrol");
        return;
    }
    if (!ReadText(control)) {
        Reply("err noanswer");
        return;
    }
    strcpy(line, "ok ");
    AppendEscaped(line, sizeof line, g_wide);
    Reply(line);
}

static void OnWaitText(const char *args) {
    char *rest;
    HWND control = Control(args);
    strtol(args, &rest, 10);
    DWORD timeout = strtoul(rest, &rest, 10);
    static wchar_t wanted[kTextChars];
    lstrcpynW(wanted, Unescape(rest + (*rest == ' ')), kTextChars);
    if (!control) {
        Reply("err nocontrol");
        return;
    }
    DWORD start = GetTickCount();
    for (;;) {
        if (ReadText(control) && wcscmp(g_wide, wanted) == 0) {
            Reply("ok");
            return;
        }
        if (!IsWindow(control) || Expired(start, timeout)) break;
        Sleep(kPollMs);
    }
    static char line[kLineBytes * 2];
    strcpy(line, "err timeout ");
    AppendEscaped(line, sizeof line, g_wide);
    Reply(line);
}

static void OnEnabled(const char *args) {
    HWND control = Control(args);
    if (!control) Reply("err nocontrol");
    else Reply(IsWindowEnabled(control) ? "ok 1" : "ok 0");
}

static void OnPos(void) {
    char line[64];
    DWORD_PTR position = 0;
    HWND bar = g_dialog ? GetDlgItem(g_dialog, kProgressId) : NULL;
    if (!bar) {
        Reply("err nocontrol");
        return;
    }
    if (!Send(bar, PBM_GETPOS, 0, 0, &position)) {
        Reply("err noanswer");
        return;
    }
    sprintf(line, "ok %d", (int)position);
    Reply(line);
}

static void OnChildren(void) {
    static char line[kLineBytes];
    if (!g_dialog) {
        Reply("err nodialog");
        return;
    }
    strcpy(line, "ok");
    const char *separator = " ";
    for (HWND child = GetWindow(g_dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64];
        char entry[160];
        RECT r;
        GetClassNameW(child, cls, 64);
        GetWindowRect(child, &r);
        MapWindowPoints(NULL, g_dialog, (POINT *)&r, 2);
        char clsUtf8[64];
        WideCharToMultiByte(CP_UTF8, 0, cls, -1, clsUtf8, sizeof clsUtf8, NULL, NULL);
        sprintf(entry, "%s%d,%s,%ld,%ld,%ld,%ld", separator, (int)(short)GetDlgCtrlID(child), clsUtf8,
                r.left, r.top, r.right - r.left, r.bottom - r.top);
        if (strlen(line) + strlen(entry) + 1 < sizeof line) strcat(line, entry);
        separator = ";";
    }
    Reply(line);
}

static void OnRect(const char *args) {
    char line[96];
    RECT r;
    HWND control = Control(args);
    if (!control || !GetWindowRect(control, &r)) {
        Reply("err nocontrol");
        return;
    }
    sprintf(line, "ok %ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    Reply(line);
}

/* --- acting on controls --- */

static void OnClick(const char *args) {
    HWND button = Control(args);
    if (!button) Reply("err nocontrol");
    else if (!PostMessageW(button, BM_CLICK, 0, 0)) Reply("err post");
    else Reply("ok");
}

static void OnSetText(const char *args) {
    char *rest;
    HWND control = Control(args);
    strtol(args, &rest, 10);
    const wchar_t *text = Unescape(rest + (*rest == ' '));
    if (!control) Reply("err nocontrol");
    else if (!Send(control, WM_SETTEXT, 0, (LPARAM)text, NULL)) Reply("err noanswer");
    else Reply("ok");
}

/* Alt and a letter reach a window without any menu only as WM_MENUCHAR, which the program
 * handles itself; real key presses never produce it under Wine, so it is sent here. */
static void OnMenuChar(const char *args) {
    const wchar_t *text = Unescape(args);
    if (!g_dialog || !text[0]) Reply("err nodialog");
    else if (!Send(g_dialog, WM_MENUCHAR, MAKEWPARAM(text[0], MF_SYSMENU), 0, NULL)) Reply("err noanswer");
    else Reply("ok");
}

/* --- message boxes --- */

static HWND g_found;

static BOOL CALLBACK FindBox(HWND window, LPARAM unused) {
    (void)unused;
    DWORD process = 0;
    if (window == g_dialog || !IsWindowVisible(window) || !IsClass(window, L"#32770")) return TRUE;
    GetWindowThreadProcessId(window, &process);
    if (process != g_process) return TRUE;
    if (GetDlgItem(window, kFileTypeId)) return TRUE; /* a Save dialog, not a message box */
    g_found = window;
    return FALSE;
}

static void OnMsgBox(const char *args) {
    DWORD timeout = strtoul(args, NULL, 10);
    static char line[kLineBytes * 2];
    static const int kButtons[] = {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO};
    if (!g_dialog) {
        Reply("err nodialog");
        return;
    }
    DWORD start = GetTickCount();
    g_found = NULL;
    for (;;) {
        EnumWindows(FindBox, 0);
        if (g_found || Expired(start, timeout)) break;
        Sleep(kPollMs);
    }
    if (!g_found) {
        Reply("err timeout");
        return;
    }
    g_box = g_found;
    sprintf(line, "ok %d\t", GetWindow(g_box, GW_OWNER) == g_dialog ? 1 : 0);
    const char *separator = "";
    for (size_t i = 0; i < sizeof kButtons / sizeof kButtons[0]; ++i) {
        if (GetDlgItem(g_box, kButtons[i])) {
            sprintf(line + strlen(line), "%s%d", separator, kButtons[i]);
            separator = ",";
        }
    }
    strcat(line, "\t");
    g_wide[0] = 0;
    GetWindowTextW(g_box, g_wide, kTextChars);
    AppendEscaped(line, sizeof line, g_wide);
    strcat(line, "\t");
    HWND text = GetDlgItem(g_box, kMessageTextId);
    if (!text || !ReadText(text)) g_wide[0] = 0;
    AppendEscaped(line, sizeof line, g_wide);
    Reply(line);
}

static void OnAnswer(const char *args) {
    int id = atoi(args);
    HWND button = g_box && IsWindow(g_box) ? GetDlgItem(g_box, id) : NULL;
    if (!button) {
        Reply("err nobutton");
        return;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    DWORD start = GetTickCount();
    while (IsWindow(g_box)) {
        if (Expired(start, g_closeWaitMs)) {
            Reply("err stillopen");
            return;
        }
        Sleep(kPollMs);
    }
    g_box = NULL;
    Reply("ok");
}

/* --- other windows of the program: the Save dialog --- */

static BOOL CALLBACK FindOther(HWND window, LPARAM unused) {
    (void)unused;
    DWORD process = 0;
    wchar_t caption[256];
    if (window == g_dialog || !IsWindowVisible(window) || !IsClass(window, L"#32770")) return TRUE;
    GetWindowThreadProcessId(window, &process);
    if (process != g_process) return TRUE;
    if (GetWindowTextW(window, caption, 256) <= 0 || wcscmp(caption, g_wantedCaption) != 0) return TRUE;
    g_found = window;
    return FALSE;
}

static void OnWindow(const char *args) {
    char *rest;
    DWORD timeout = strtoul(args, &rest, 10);
    static wchar_t caption[256];
    lstrcpynW(caption, Unescape(rest + (*rest == ' ')), 256);
    if (!g_dialog) {
        Reply("err nodialog");
        return;
    }
    g_wantedCaption = caption;
    g_window = g_found = NULL;
    DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(FindOther, 0);
        if (g_found || Expired(start, timeout)) break;
        Sleep(kPollMs);
    }
    if (!g_found) {
        Reply("err timeout");
        return;
    }
    g_window = g_found;
    Reply(GetWindow(g_window, GW_OWNER) == g_dialog ? "ok 1" : "ok 0");
}

/* Runs a dialog command on a control of g_window instead of the dialog's. */
static void OnWindowControl(void (*command)(const char *), const char *args) {
    if (!g_window || !IsWindow(g_window)) {
        Reply("err nowindow");
        return;
    }
    HWND dialog = g_dialog;
    g_dialog = g_window;
    command(args);
    g_dialog = dialog;
}

static BOOL CALLBACK FindButton(HWND child, LPARAM id) {
    if (GetDlgCtrlID(child) != (int)id || !IsClass(child, L"Button")) return TRUE;
    g_found = child;
    return FALSE;
}

static void OnWindowPress(const char *args) {
    g_found = NULL;
    if (g_window && IsWindow(g_window)) EnumChildWindows(g_window, FindButton, atoi(args));
    if (!g_found) {
        Reply("err nobutton");
        return;
    }
    PostMessageW(g_found, BM_CLICK, 0, 0);
    DWORD start = GetTickCount();
    while (IsWindow(g_window)) {
        if (Expired(start, g_closeWaitMs)) {
            Reply("err stillopen");
            return;
        }
        Sleep(kPollMs);
    }
    g_window = NULL;
    Reply("ok");
}

/* --- the executable's version block --- */

static void OnVersion(const char *args) {
    static const wchar_t *const kKeys[] = {L"Comments", L"FileDescription", L"FileVersion", L"InternalName",
                                           L"OriginalFilename", L"ProductName", L"ProductVersion"};
    static BYTE block[65536];
    static char line[kLineBytes * 2];
    static wchar_t path[MAX_PATH];
    lstrcpynW(path, Unescape(args), MAX_PATH);
    DWORD size = GetFileVersionInfoSizeW(path, NULL);
    WORD *translation;
    VS_FIXEDFILEINFO *fixed;
    UINT length;
    if (size == 0 || size > sizeof block || !GetFileVersionInfoW(path, 0, sizeof block, block) ||
        !VerQueryValueW(block, L"\\VarFileInfo\\Translation", (void **)&translation, &length) || length < 4 ||
        !VerQueryValueW(block, L"\\", (void **)&fixed, &length)) {
        Reply("err noversion");
        return;
    }
    sprintf(line, "ok %04X%04X\t%u.%u.%u.%u", translation[0], translation[1], HIWORD(fixed->dwFileVersionMS),
            LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    for (size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; ++i) {
        wchar_t query[128];
        wchar_t *value;
        swprintf(query, 128, L"\\StringFileInfo\\%04X%04X\\%ls", translation[0], translation[1], kKeys[i]);
        if (!VerQueryValueW(block, query, (void **)&value, &length)) continue;
        swprintf(g_wide, kTextChars, L"%ls=%ls", kKeys[i], value);
        strcat(line, "\t");
        AppendEscaped(line, sizeof line, g_wide);
    }
    Reply(line);
}

/* The icon group as Explorer picks from it: GRPICONDIR, then 14-byte entries (width, height,
 * colour count, reserved, planes, bit count, bytes, image id). */
static void OnIcons(const char *args) {
    static wchar_t path[MAX_PATH];
    char line[256];
    lstrcpynW(path, Unescape(args), MAX_PATH);
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceW(module, MAKEINTRESOURCEW(101), (LPCWSTR)RT_GROUP_ICON) : NULL;
    const BYTE *group = found ? (const BYTE *)LockResource(LoadResource(module, found)) : NULL;
    if (!group || SizeofResource(module, found) < 6) {
        if (module) FreeLibrary(module);
        Reply("err noicon");
        return;
    }
    int count = group[4] | group[5] << 8;
    strcpy(line, "ok ");
    for (int i = 0; i < count && (DWORD)(6 + 14 * (i + 1)) <= SizeofResource(module, found) && i < 8; ++i) {
        const BYTE *entry = group + 6 + 14 * i;
        sprintf(line + strlen(line), "%s%dx%dx%d", i ? "," : "", entry[0] ? entry[0] : 256,
                entry[1] ? entry[1] : 256, entry[6] | entry[7] << 8);
    }
    FreeLibrary(module);
    Reply(line);
}

/* --- the dialog's life --- */

static void OnWaitGone(const char *args) {
    DWORD timeout = strtoul(args, NULL, 10);
    DWORD start = GetTickCount();
    while (g_dialog && IsWindow(g_dialog)) {
        if (Expired(start, timeout)) {
            Reply("err timeout");
            return;
        }
        Sleep(kPollMs);
    }
    Reply("ok");
}

int main(void) {
    static char line[kLineBytes];
    const char *slowdown = getenv("PARCELON_WINE_SLOWDOWN");
    DWORD factor = slowdown ? (DWORD)strtoul(slowdown, NULL, 10) : 1;
    if (factor > 1 && factor < 1000) {
        g_sendTimeoutMs *= factor;
        g_closeWaitMs *= factor;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        char *args = strchr(line, ' ');
        if (args) *args++ = 0;
        else args = line + strlen(line);

        if (!strcmp(line, "find")) OnFind(args);
        else if (!strcmp(line, "text")) OnText(args);
        else if (!strcmp(line, "waittext")) OnWaitText(args);
        else if (!strcmp(line, "enabled")) OnEnabled(args);
        else if (!strcmp(line, "pos")) OnPos();
        else if (!strcmp(line, "children")) OnChildren();
        else if (!strcmp(line, "rect")) OnRect(args);
        else if (!strcmp(line, "click")) OnClick(args);
        else if (!strcmp(line, "settext")) OnSetText(args);
        else if (!strcmp(line, "menuchar")) OnMenuChar(args);
        else if (!strcmp(line, "msgbox")) OnMsgBox(args);
        else if (!strcmp(line, "answer")) OnAnswer(args);
        else if (!strcmp(line, "window")) OnWindow(args);
        else if (!strcmp(line, "wtext")) OnWindowControl(OnText, args);
        else if (!strcmp(line, "wsettext")) OnWindowControl(OnSetText, args);
        else if (!strcmp(line, "wpress")) OnWindowPress(args);
        else if (!strcmp(line, "version")) OnVersion(args);
        else if (!strcmp(line, "icons")) OnIcons(args);
        else if (!strcmp(line, "alive")) Reply(g_dialog && IsWindow(g_dialog) ? "ok 1" : "ok 0");
        else if (!strcmp(line, "waitgone")) OnWaitGone(args);
        else if (!strcmp(line, "quit")) break;
        else Reply("err unknown command");
    }
    return 0;
}
