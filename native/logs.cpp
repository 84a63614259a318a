// native/logs.cpp: what the stand-in logs for the tests: every progress position sent,
// every message posted, every message box shown and every Save dialog opened.
#include <windows.h>
#include <commdlg.h>

#include "shim_internal.h"
#include "shim_testing.h"

#include <string.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

// Room kept in the progress history, so that a run's PBM_SETPOS (at most 101 positions and
// the resets) does not allocate on the worker; a longer history still grows.
const size_t kReservedProgress = 1024;

std::mutex g_logsLock;                       // guards everything below; any thread
std::vector<int> g_progressHistory;
std::vector<MSG> g_posted;
std::vector<ShimMessageBox> g_boxes;
std::vector<ShimSaveDialogCall> g_saveCalls; // every GetSaveFileNameA since the last clear

std::string TextOrEmpty(const char *text)
{
    return text ? text : "";
}

} // namespace

void ShimLogDialogCreated(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    if (g_progressHistory.capacity() < kReservedProgress)
        g_progressHistory.reserve(kReservedProgress);
}

void ShimLogProgress(int requested)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_progressHistory.push_back(requested);
}

void ShimLogPosted(const MSG &posted)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_posted.push_back(posted);
}

void ShimLogMessageBox(HWND owner, const char *text, const char *caption, UINT type, int answer)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_boxes.push_back(ShimMessageBox{owner, text, caption, type, answer});
}

void ShimLogSaveDialog(const OPENFILENAMEA *ofn)
{
    ShimSaveDialogCall call = {};
    memcpy(&call.record, ofn, kShimShortRecordSize);
    for (const char *p = ofn->lpstrFilter; p && *p; p += strlen(p) + 1)
        call.filter.append(p, strlen(p) + 1);
    call.fileName.assign(ofn->lpstrFile, strnlen(ofn->lpstrFile, ofn->nMaxFile));
    call.initialDir = TextOrEmpty(ofn->lpstrInitialDir);
    call.title = TextOrEmpty(ofn->lpstrTitle);
    call.defExt = TextOrEmpty(ofn->lpstrDefExt);
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_saveCalls.push_back(call);
}

std::vector<int> ShimProgressHistory(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    return g_progressHistory;
}

void ShimClearProgressHistory(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_progressHistory.clear();
}

std::vector<MSG> ShimPostedMessages(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    return g_posted;
}

void ShimClearPostedMessages(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_posted.clear();
}

std::vector<ShimMessageBox> ShimMessageBoxes(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    return g_boxes;
}

void ShimClearMessageBoxes(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_boxes.clear();
}

std::vector<ShimSaveDialogCall> ShimSaveDialogCalls(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    return g_saveCalls;
}

void ShimClearSaveDialogCalls(void)
{
    std::lock_guard<std::mutex> lock(g_logsLock);
    g_saveCalls.clear();
}
