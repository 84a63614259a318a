// ui/startup.h: the one-shot start-up load of the executable's own first-piece header.
#pragma once
#include <windows.h>

// Reads the own header into g_restoreInfo and fills the destination field and the
// information text. On any failure it shows why and closes the dialog.
void LoadRestoreInfo(void);

// Upper-cases a code page 932 text in place: letters a-z only, double-byte characters
// left as they are.
void UpperCaseCp932(char *text);
