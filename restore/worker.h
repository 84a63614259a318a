// restore/worker.h: the restore worker thread that Start runs.
#pragma once
#include <windows.h>

// The thread routine Start runs. Its last action sets the run state: 0 after a finished
// restore, -1 after a failure, a refusal or a cancel.
DWORD WINAPI RestoreWorker(LPVOID unused);
