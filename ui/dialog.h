// ui/dialog.h: the dialog procedure, the Start and Close/Cancel commands and the status
// poll that notices the end of a restore.
#pragma once
#include <windows.h>

// Timer 1 runs the start-up load once; timer 2 is the status poll while a restore runs.
const UINT_PTR kStartUpTimer = 1;
const UINT_PTR kStatusTimer = 2;
const UINT kStartUpDelay = 1;
const UINT kStatusInterval = 500;

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK StatusPoll(HWND dialog, UINT message, UINT_PTR id, DWORD time);

// The Browse button's Save dialog, in ui/chooser.cpp.
void ChooseDestination(void);
