/* tests/e2e/planted.c: a DLL that stands for one planted beside a downloaded program. Loaded
 * into a process, it leaves a marker file next to itself, named after itself with ".loaded"
 * added, and refuses to initialise, so that the process goes on with the real DLL if the
 * loader offers one and the test sees every planted name that was tried in one run. It uses
 * kernel32 alone and has no C runtime, so it loads into any process. */
#include <windows.h>

BOOL WINAPI PlantedEntry(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    lstrcpyA(path + length, ".loaded");
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    return FALSE;
}
