// restore/preflight.h: the checks of the destination's volume before it is created.
#pragma once
#include "restore/run.h"

// Before the destination is created: stops the run (files closed, FALSE) when its volume
// cannot hold a file of the total size, or when it has no room for it and the user
// declines to go on.
BOOL CheckDestinationVolume(RestoreRun *run);
