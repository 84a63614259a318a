// bench/engine.h: one whole restore by the program's own code over the native stand-in,
// timed from Start to the run state's return to idle, for parcelon-bench.
#pragma once
#include <string>

// Heap allocations counted while a run was timed.
struct AllocationCount {
    unsigned long uiThread;     // on the thread that pressed Start: the dialog, the stand-in's
                                // model of it and its CreateThread
    unsigned long otherThreads; // on any other thread: the restore worker
    unsigned long bytes;        // what all of them asked for
};

struct EngineResult {
    bool finished;              // the run ended with run state 0 (idle) and no message box
    double seconds;             // from Start to the run state's return to idle
    AllocationCount allocations;
    std::string problem;        // why the run did not finish, when it did not
};

// Whether this build can run the engine natively, and if not, why.
bool EngineAvailable();
const char *EngineUnavailableReason();

// Restores the set whose self-restoring executable is exePath into destination, which must
// not exist yet, with the stand-in's read-ahead and write-behind buffers of bufferBytes (0:
// straight through).
EngineResult RunEngine(const std::string &exePath, const std::string &destination, unsigned bufferBytes);

// The allocation counter of bench.cpp, around the timed part of a run; the calling thread
// is taken as the UI thread.
void BeginCountingAllocations();
AllocationCount EndCountingAllocations();
// Where the allocations of the last counted run were made: on which thread, inside which
// call of the stand-in, and the call stacks of those made outside it.
std::string SummarizeAllocations();
