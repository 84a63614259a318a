// native/commdlg.cpp: the stand-in's common-dialog calls: the Save dialog answered by a
// handler, and the file-title query.
#include <windows.h>
#include <commdlg.h>

#include "format/text.h"
#include "shim.h"
#include "shim_internal.h"

#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

namespace {

// The record size a 32-bit program passes: the members up to lpTemplateName.
const DWORD kRecordSize400 = 76;
const size_t kNoDot = (size_t)-1;

std::mutex g_dialogLock;                     // guards everything below; any thread
ShimSaveDialogHandler g_saveHandler;         // set by ShimSetSaveDialogHandler
void *g_saveContext;
DWORD g_extendedError;                       // what CommDlgExtendedError answers

// Where the name starts: behind the last '\\', '/' or ':' that is not a trail byte.
size_t NameStart(const char *path)
{
    size_t start = 0;
    for (size_t i = 0; path[i]; i++) {
        if (IsLeadByte((unsigned char)path[i]) && path[i + 1])
            i++;
        else if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
            start = i + 1;
    }
    return start;
}

// The last '.' of a name, or kNoDot.
size_t LastDot(const char *name)
{
    size_t dot = kNoDot;
    for (size_t i = 0; name[i]; i++) {
        if (IsLeadByte((unsigned char)name[i]) && name[i + 1])
            i++;
        else if (name[i] == '.')
            dot = i;
    }
    return dot;
}

// Whether a name holds a byte Windows refuses in file names (trail bytes excepted).
bool HasInvalidByte(const char *name)
{
    for (size_t i = 0; name[i]; i++) {
        const unsigned char c = (unsigned char)name[i];
        if (IsLeadByte(c) && name[i + 1])
            i++;
        else if (c < 0x20 || strchr("*?\"<>|", c))
            return true;
    }
    return false;
}

} // namespace

// Models the Save dialog: the handler chooses; on success Windows' offsets and title are filled.
BOOL WINAPI GetSaveFileNameA(LPOPENFILENAMEA ofn)
{
    if (!ofn || !ofn->lpstrFile || ofn->nMaxFile == 0)
        ShimRefuse("GetSaveFileNameA", "a missing record or file buffer");
    std::unique_lock<std::mutex> lock(g_dialogLock);
    if (ofn->lStructSize != kRecordSize400 && ofn->lStructSize != kShimShortRecordSize &&
        ofn->lStructSize != sizeof(OPENFILENAMEA)) {
        g_extendedError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    const ShimSaveDialogHandler handler = g_saveHandler;
    void *context = g_saveContext;
    if (!handler) {
        fprintf(stderr, "native stand-in: GetSaveFileNameA with no handler set\n");
        abort();
    }
    ShimLogSaveDialog(ofn);
    lock.unlock();

    DWORD error = 0;
    const BOOL chosen = handler(context, ofn, &error);
    lock.lock();
    g_extendedError = chosen ? 0 : error;
    if (!chosen)
        return FALSE;
    const size_t length = strnlen(ofn->lpstrFile, ofn->nMaxFile);
    if (length == ofn->nMaxFile)
        ShimRefuse("GetSaveFileNameA", "a handler that leaves lpstrFile without its zero");
    const size_t start = NameStart(ofn->lpstrFile);
    const size_t dot = LastDot(ofn->lpstrFile + start);
    ofn->nFileOffset = (WORD)start;
    // No extension points at the terminating zero; a name ending in "." gives 0.
    ofn->nFileExtension = dot == kNoDot ? (WORD)length : ofn->lpstrFile[start + dot + 1] ? (WORD)(start + dot + 1) : 0;
    if (ofn->lpstrFileTitle && ofn->nMaxFileTitle > 0) {
        const size_t titleLength = length - start < ofn->nMaxFileTitle - 1 ? length - start : ofn->nMaxFileTitle - 1;
        memcpy(ofn->lpstrFileTitle, ofn->lpstrFile + start, titleLength);
        ofn->lpstrFileTitle[titleLength] = '\0';
    }
    return TRUE;
}

// Models the extended error of the last common dialog (0 after a cancel or a success).
DWORD WINAPI CommDlgExtendedError(void)
{
    std::lock_guard<std::mutex> lock(g_dialogLock);
    return g_extendedError;
}

// Models the file-title query: 0 after copying, the size needed (with the zero) when the
// buffer is too small or missing, -1 for a name that cannot be a file's.
short WINAPI GetFileTitleA(LPCSTR file, LPSTR title, WORD size)
{
    if (!file)
        return -1;
    const char *name = file + NameStart(file);
    if (!*name || HasInvalidByte(name))
        return -1;
    size_t length = strlen(name);
    const size_t dot = LastDot(name);
    if (ShimFileTitleHidesExtension() && dot != kNoDot && dot > 0)
        length = dot;
    if (length + 1 > (size_t)SHRT_MAX)
        return -1;
    if (!title || size < length + 1)
        return (short)(length + 1);
    memcpy(title, name, length);
    title[length] = '\0';
    return 0;
}

void ShimSetSaveDialogHandler(ShimSaveDialogHandler handler, void *context)
{
    std::lock_guard<std::mutex> lock(g_dialogLock);
    g_saveHandler = handler;
    g_saveContext = context;
}

void ShimResetSaveDialog(void)
{
    std::lock_guard<std::mutex> lock(g_dialogLock);
    g_saveHandler = nullptr;
    g_saveContext = nullptr;
    g_extendedError = 0;
}
