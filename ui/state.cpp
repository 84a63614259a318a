// ui/state.cpp: the process-wide values of the dialog's side.
#include "ui/state.h"

HINSTANCE g_instance;
