/* windows/imports.c: the stub's own start on Windows: restricts where DLLs are looked for,
 * then loads user32, comctl32 and comdlg32 by name and fills the program's import slots for
 * them, before the C runtime and the program start.
 *
 * The executable is run from folders that others write to (downloads, shared folders,
 * removable media). A DLL planted there under a system DLL's name would be loaded in place
 * of the real one if the loader resolved the program's imports itself, before any of our
 * code could run. So the image imports only kernel32 and the C runtime, which the system
 * always takes from its own folder, and every other DLL is loaded here, from the system
 * folder alone where the system can say so, and otherwise at least not from the current
 * folder. The program's calls keep their names: each slot below is the one its call goes
 * through, the one the import library would otherwise have supplied. */
#include <windows.h>

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD flags);
typedef BOOL(WINAPI *SetDllDirectoryFunction)(LPCSTR path);

/* What the process exits with when a system DLL or one of its functions cannot be had:
 * without user32 there is no way to tell the user. */
#define EXIT_NO_SYSTEM_DLL 3

/* The DLLs the program calls, then those that they load by name only when first needed (the
 * Save dialog, drawing): a load by name finds a DLL that is already loaded before it looks
 * in any folder, and not every system resolves such late loads with the restricted search. */
enum { DLL_USER32, DLL_COMCTL32, DLL_COMDLG32, DLL_OLE32, DLL_MSIMG32, DLL_COUNT };
static const char *const kDllNames[DLL_COUNT] = {"user32.dll", "comctl32.dll", "comdlg32.dll", "ole32.dll",
                                                 "msimg32.dll"};

/* Every function the program calls outside kernel32 and the C runtime: its DLL, its name and
 * the argument bytes in its import symbol (none for the one C-convention function). */
#define STUB_IMPORTS(X)                        \
    X(DLL_USER32, CreateDialogParamA, "@20")   \
    X(DLL_USER32, DefWindowProcA, "@16")       \
    X(DLL_USER32, DispatchMessageA, "@4")      \
    X(DLL_USER32, EnableWindow, "@8")          \
    X(DLL_USER32, GetDlgItem, "@8")            \
    X(DLL_USER32, GetDlgItemTextA, "@16")      \
    X(DLL_USER32, GetMessageA, "@16")          \
    X(DLL_USER32, IsWindowEnabled, "@4")       \
    X(DLL_USER32, KillTimer, "@8")             \
    X(DLL_USER32, MessageBoxA, "@16")          \
    X(DLL_USER32, PostMessageA, "@16")         \
    X(DLL_USER32, PostQuitMessage, "@4")       \
    X(DLL_USER32, SendMessageA, "@16")         \
    X(DLL_USER32, SetDlgItemTextA, "@12")      \
    X(DLL_USER32, SetTimer, "@16")             \
    X(DLL_USER32, ShowWindow, "@8")            \
    X(DLL_USER32, TranslateMessage, "@4")      \
    X(DLL_USER32, wsprintfA, "")               \
    X(DLL_COMCTL32, InitCommonControls, "@0")  \
    X(DLL_COMDLG32, CommDlgExtendedError, "@0") \
    X(DLL_COMDLG32, GetFileTitleA, "@12")      \
    X(DLL_COMDLG32, GetSaveFileNameA, "@4")

/* The import slots: the symbols the program's calls are linked against. */
#define DEFINE_SLOT(dll, name, suffix) FARPROC g_slot_##name __asm__("__imp__" #name suffix);
STUB_IMPORTS(DEFINE_SLOT)

typedef struct {
    int dll;
    const char *name;
    FARPROC *slot;
} Import;

#define IMPORT_ENTRY(dll, name, suffix) {dll, #name, &g_slot_##name},
static const Import kImports[] = {STUB_IMPORTS(IMPORT_ENTRY)};

/* The CRT's own entry, which runs the C runtime's start and then WinMain. */
int WinMainCRTStartup(void);

static void RestrictDllSearch(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == NULL)
        return;
    SetDefaultDllDirectoriesFunction setDefault =
        (SetDefaultDllDirectoriesFunction)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault != NULL && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    /* Systems before the call above: this at least keeps the current folder out. Where it
     * is missing too, the program goes on with the system's own search. */
    SetDllDirectoryFunction setDirectory = (SetDllDirectoryFunction)(void *)GetProcAddress(kernel, "SetDllDirectoryA");
    if (setDirectory != NULL)
        setDirectory("");
}

static void LoadSystemDlls(void)
{
    HMODULE modules[DLL_COUNT];
    for (int i = 0; i < DLL_COUNT; i++) {
        modules[i] = LoadLibraryA(kDllNames[i]);
        if (modules[i] == NULL)
            ExitProcess(EXIT_NO_SYSTEM_DLL);
    }
    for (size_t i = 0; i < sizeof kImports / sizeof kImports[0]; i++) {
        *kImports[i].slot = GetProcAddress(modules[kImports[i].dll], kImports[i].name);
        if (*kImports[i].slot == NULL)
            ExitProcess(EXIT_NO_SYSTEM_DLL);
    }
}

/* The image's entry point: the very first code of the process that is ours. */
int StubEntry(void)
{
    RestrictDllSearch();
    LoadSystemDlls();
    return WinMainCRTStartup();
}
