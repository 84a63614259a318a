// restore/zone.h: carrying the executable's download mark over to the restored file.
#pragma once
#include "restore/run.h"

// Right after the destination is created: gives it the internet-zone mark of the
// executable, if the executable carries one. Failures change nothing.
void CarryZoneMark(RestoreRun *run);
