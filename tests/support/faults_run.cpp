// tests/support/faults_run.cpp: the in-process run of the start-up load and the restore
// worker, and the message box classification.
#include "support/faults_run.h"

#include <limits.h>
#include <string.h>

#include "resource.h"
#include "restore/messages.h"
#include "restore/worker.h"
#include "ui/dialog.h"
#include "ui/startup.h"
#include "ui/state.h"

namespace {

// How a message is recognised: by the identifier the program shows it under, and only
// when it shows the bytes expected of it: the text starts with head and ends with tail (an
// empty tail: the text is head exactly, unless open is set).
struct BoxPattern {
    Box kind;
    LONG id;
    const char *head;
    const char *tail;
    bool open; // anything may follow head (tail is then empty)
    const char *caption;
    UINT type;
};

const BoxPattern kPatterns[] = {
    {Box::Damaged, kMsgDamaged, "ファイルが壊れています。\n[", "]", false, "Parcelon", MB_ICONERROR | MB_OK},
    {Box::CannotOpenOwn, kMsgOwnUnopenable, "ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "", false,
     "Parcelon 復元確認", MB_ICONWARNING | MB_OK},
    {Box::W1, kMsgRunOwnUnopenable, "ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "", false,
     "Parcelon 復元確認", MB_ICONQUESTION | MB_OK},
    {Box::InfoFailed, kMsgInfoFailed, "ファイル情報の取得に失敗しました。", "", false, "Parcelon", MB_ICONERROR | MB_OK},
    {Box::ScreenFailed, kMsgScreenFailed, "画面の初期化に失敗しました。", "", false, "Parcelon 自己復元", MB_ICONERROR | MB_OK},
    {Box::W2, kMsgOverwrite, "", " は\nすでに存在しますが、上書きしてもよろしいですか", false, "Parcelon  上書き確認",
     MB_ICONQUESTION | MB_YESNO},
    {Box::W3, kMsgCannotCreate, "復元ファイルを作成できません\nファイルパス名を確認してください。", "", false, "Parcelon",
     MB_ICONWARNING | MB_OK},
    {Box::W4, kMsgCutShort, "ファイルの終端が欠けてします。\n[", "]", false, "Parcelon", MB_ICONERROR | MB_OK},
    {Box::W5, kMsgBadCheck, "ファイルの内容が正しくありません。強行しますか？\n[", "]", false, "Parcelon 復元確認",
     MB_ICONWARNING | MB_YESNO},
    {Box::W6, kMsgBadLastCheck, "ファイルの内容が正しくありません。\n[", "]", false, "Parcelon 復元確認", MB_ICONWARNING | MB_OK},
    {Box::N1, kMsgNextFile, "次に ", " を読み込みます。", false, "Parcelon 次のファイル", MB_ICONINFORMATION | MB_OKCANCEL},
    {Box::N2, kMsgNoMarker, "分割ファイルが異常です。", "", false, "Parcelon", MB_ICONWARNING | MB_RETRYCANCEL},
    {Box::N3, kMsgForeign, "「", "」は、\n現在復元中のファイルとは異なります。強行しますか？", false, "Parcelon 復元確認",
     MB_ICONWARNING | MB_YESNO},
    {Box::WriteFailed, kMsgWriteFailed, "復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[", "]",
     false, "Parcelon", MB_ICONERROR | MB_OK},
};

bool StartsWith(const std::string &text, const char *head)
{
    return text.compare(0, strlen(head), head) == 0;
}

bool EndsWith(const std::string &text, const char *tail)
{
    size_t n = strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// Whether a text matches a pattern, and the part between head and tail.
bool Matches(const BoxPattern &pattern, const std::string &text, std::string *middle)
{
    size_t head = strlen(pattern.head), tail = strlen(pattern.tail);
    if (tail == 0 && !pattern.open) {
        if (text != pattern.head)
            return false;
        middle->clear();
        return true;
    }
    if (text.size() < head + tail || !StartsWith(text, pattern.head) || !EndsWith(text, pattern.tail))
        return false;
    *middle = text.substr(head, text.size() - head - tail);
    return true;
}

// The pattern of the box shown under identifier id (any, when id is -1) that matches it.
const BoxPattern *Recognise(const ShimMessageBox &box, LONG id, std::string *middle)
{
    for (const BoxPattern &pattern : kPatterns)
        if ((id == -1 || pattern.id == id) && box.caption == pattern.caption && box.type == pattern.type &&
            Matches(pattern, box.text, middle))
            return &pattern;
    return nullptr;
}

// The answers of one run.
struct Answering {
    AnswerPolicy policy;
    int n1Asks = 0;
    int n2Asks = 0;
    std::vector<LONG> shown; // the identifier of each box, in order
};

int Answer(void *context, HWND, const char *text, const char *caption, UINT type)
{
    Answering *answering = (Answering *)context;
    ShimMessageBox box{NULL, text, caption, type, 0};
    // The program names the box it shows just before it shows it, on this thread.
    const LONG id = g_shownMessage;
    answering->shown.push_back(id);
    std::string middle;
    const BoxPattern *pattern = Recognise(box, id, &middle);
    Box kind = pattern ? pattern->kind : Box::Unknown;
    if (kind == Box::N1)
        return ++answering->n1Asks >= answering->policy.maxAsks ? IDCANCEL : IDOK;
    if (kind == Box::N2)
        return ++answering->n2Asks >= answering->policy.maxAsks ? IDCANCEL : IDRETRY;
    if ((type & 0xF) == MB_YESNO)
        return answering->policy.yesNo;
    // An unknown question with a refusing button is refused, so that it cannot loop.
    if ((type & 0xF) == MB_OKCANCEL || (type & 0xF) == MB_RETRYCANCEL)
        return IDCANCEL;
    return IDOK;
}

std::string ControlText(HWND dialog, int id)
{
    char text[kTextBufferSize];
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

} // namespace

const char *BoxName(Box kind)
{
    static const char *const kNames[] = {"Damaged", "CannotOpenOwn", "InfoFailed", "ScreenFailed", "W1", "W2", "W3",
                                         "W4", "W5", "W6", "N1", "N2", "N3", "WriteFailed", "Unknown"};
    return kNames[(int)kind];
}

Box ClassifyBox(const ShimMessageBox &box, LONG id)
{
    std::string middle;
    const BoxPattern *pattern = id == -1 ? nullptr : Recognise(box, id, &middle);
    return pattern ? pattern->kind : Box::Unknown;
}

std::string BoxPath(const ShimMessageBox &box)
{
    std::string middle;
    const BoxPattern *pattern = Recognise(box, -1, &middle);
    return pattern ? middle : "";
}

std::string KindsText(const std::vector<Box> &kinds)
{
    std::string text;
    for (Box kind : kinds)
        text += (text.empty() ? "" : " ") + std::string(BoxName(kind));
    return text.empty() ? "(none)" : text;
}

std::string InfoTextFor(const std::string &name, const std::string &groupedSize)
{
    return "分割元ファイル " + name + "\r\nサイズ  " + groupedSize + "Bytes";
}

RunResult RunRestore(const RunRequest &request)
{
    RunResult result;
    ShimReset();
    // Every path lies on a volume with all the room a size can state and a file system
    // that holds large files, so the runs never meet the questions asked before the
    // destination is created; the restore tables cover those.
    ShimSetVolume("/", LLONG_MAX, "NTFS");
    memset(&g_restoreInfo, 0, sizeof g_restoreInfo);
    g_restoreInfoLoaded = FALSE;
    Answering answering;
    answering.policy = request.policy;
    ShimSetMessageBoxHandler(Answer, &answering);
    ShimSetModulePath(request.ownPath.c_str());
    g_runState.store(kRunIdle);
    HWND dialog = CreateDialogParamA(NULL, MAKEINTRESOURCEA(IDD_RESTORE), NULL, DialogProc, 0);
    g_dialog = dialog;

    if (request.beforeLoad)
        request.beforeLoad();
    LoadRestoreInfo();
    for (const MSG &posted : ShimPostedMessages())
        result.closed = result.closed || (posted.hwnd == dialog && posted.message == WM_CLOSE);
    result.loaded = g_restoreInfoLoaded != FALSE;
    result.proposal = ControlText(dialog, IDC_DESTINATION);
    result.info = ControlText(dialog, IDC_INFO);

    if (!result.closed && !request.loadOnly) {
        if (!request.destination.empty())
            SetDlgItemTextA(dialog, IDC_DESTINATION, request.destination.c_str());
        if (request.beforeRun)
            request.beforeRun();
        ShimClearProgressHistory();
        g_runState.store(kRunRunning);
        RestoreWorker(NULL);
        result.ran = true;
        result.state = g_runState.load();
        g_runState.store(kRunIdle);
    }

    result.boxes = ShimMessageBoxes();
    for (size_t i = 0; i < result.boxes.size(); i++)
        result.kinds.push_back(ClassifyBox(result.boxes[i], i < answering.shown.size() ? answering.shown[i] : -1));
    result.readCalls = ShimReadFileCalls();
    result.writeCalls = ShimWriteFileCalls();
    result.openFiles = ShimOpenFileCount();
    result.progress = ShimProgressHistory();
    ShimSetMessageBoxHandler(nullptr, nullptr);
    ShimResetFaults();
    return result;
}
