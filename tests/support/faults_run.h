// tests/support/faults_run.h: one start-up load and one restore run inside the test's own
// process, on the calling thread, with every message box answered by a fixed policy that
// cannot loop for ever. The fault-injection test, the big-file test and the fuzz targets
// share it, so it uses no GoogleTest.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "shim_testing.h"

// The message boxes the program can show, by text, caption and buttons together.
enum class Box {
    Damaged,       // start-up: a record tag or length missing, a bad name, a negative size
    CannotOpenOwn, // start-up: the own file cannot be opened
    InfoFailed,    // start-up: the header's end position cannot be obtained
    ScreenFailed,  // start-up: no progress bar
    W1,            // the own file cannot be opened at the start of a run
    W2,            // the destination exists: overwrite?
    W3,            // the destination cannot be created
    W4,            // a piece ends too early
    W5,            // an intermediate piece's check value differs: force it?
    W6,            // the last piece's check value differs
    N1,            // a piece file cannot be opened: ask for it
    N2,            // no piece marker in a piece file: retry?
    N3,            // a piece of another set: force it?
    WriteFailed,   // a write to the destination failed or came up short
    Unknown,       // anything else, or a known text with the wrong caption or buttons
};
const char *BoxName(Box kind);
// The kind of a box shown under identifier id (restore/messages.h): Unknown when the box
// does not show the bytes expected of that kind.
Box ClassifyBox(const ShimMessageBox &box, LONG id);
// The path a message names ("" when it names none).
std::string BoxPath(const ShimMessageBox &box);
// The kinds of a run's messages as text, e.g. "W5 N3 W6", for failure output.
std::string KindsText(const std::vector<Box> &kinds);

// How the run's questions are answered. N1 is answered OK and N2 Retry until the
// maxAsks-th time that kind is asked in the run, which is answered Cancel; W2, W5 and N3
// get yesNo; everything else OK.
struct AnswerPolicy {
    int maxAsks = 3;
    int yesNo = IDYES;
};

struct RunRequest {
    std::string ownPath;
    // When not empty, replaces the proposed destination in the field before Start (natively
    // the upper-cased folder of the proposal does not exist).
    std::string destination;
    AnswerPolicy policy;
    bool loadOnly = false;
    // Called after the stand-in was reset and set up, before the load and before the
    // run: the place for fault switches (their call counts then include the load's).
    std::function<void()> beforeLoad;
    std::function<void()> beforeRun;
};

struct RunResult {
    bool closed = false; // the start-up load posted WM_CLOSE: it failed
    bool loaded = false; // the start-up load marked its values complete
    bool ran = false;    // the worker ran
    LONG state = 0;      // the run state the worker left (when it ran)
    std::vector<ShimMessageBox> boxes;
    std::vector<Box> kinds;
    std::string proposal; // the destination field after the load
    std::string info;     // the information text after the load
    DWORD readCalls = 0;  // ReadFile and WriteFile calls, the load's included
    DWORD writeCalls = 0;
    int openFiles = 0;    // handles still open at the end
    std::vector<int> progress;
};

// Resets the stand-in, creates the dialog, runs the start-up load of request.ownPath and,
// when it succeeds, the restore worker on the calling thread.
RunResult RunRestore(const RunRequest &request);

// The dialog's texts as the program compiles them (code page 932 under g++, UTF-8 under
// clang), for comparisons.
std::string InfoTextFor(const std::string &name, const std::string &groupedSize);
