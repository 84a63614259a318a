// tests/support/program.h: a scene for the tests that run the program itself: a split set
// made by parcelon-split, the dialog, the start-up load and restore runs, with every message
// box answered from a script and named after the program's box it is ("W2[dest]",
// "N1[d02]", ...), so that tables can state the boxes in order.
#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "shim_testing.h"
#include "support/support.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int);

// The time stamp every set of a scene carries unless its options say otherwise: stored as
// UTC, it is this many seconds after 1970.
extern const char kStampText[];
const long long kStampSeconds = 1710510330;

// What a destination holds after a run, for tables: a prefix of the split file of this
// many bytes, or one of these.
const long long kAbsent = -1;  // no file of that name
const long long kOldFile = -2; // the file that was there before the run, untouched
const long long kFolder = -3;  // a folder, still there
const long long kOldSeconds = 1000000000;

// Its last-write time: the stored stamp, or the time of the run (the file system's).
enum Stamp { kStored, kNow };

class Scene {
public:
    Scene();  // a clean stand-in, the run state idle
    ~Scene(); // the stand-in reset again, every thread joined

    TempDir dir;
    std::string exe;  // the self-restoring executable
    std::string dest; // where a run restores to
    Bytes content;    // the split file

    // Splits content of these data counts ("2000,3000") into Data.exe, Data.d02, ... with
    // further options; name sample.txt and kStampText unless they say otherwise.
    void Split(const std::string &counts, const std::vector<std::string> &options = {});
    // Piece n's file beside exe (".d02" appended when exe's name has no ".").
    std::string Piece(int n) const;
    // Writes into the header of every piece file there is a data-check record with the
    // CRC-64 of that piece's data (plus, for the record of piece `wrong`, one: a record that
    // disagrees with its data). Other header records are dropped; bytes before a later
    // piece's marker and after its check value stay.
    void AddDataChecks(int wrong = 0);
    // Changes three bytes of piece n's data, from `offset` on, by 01 10 21: a change the
    // CRC-16 cannot see (checked here). content changes alike, so that it stays what a
    // restore that takes the damage in writes.
    void BlindChange(int n, long offset);

    // The answers of the boxes to come, in order; when none is left a box gets its
    // refusing answer (IDNO or IDCANCEL, IDOK for OK alone).
    void Answer(const std::vector<int> &answers);
    // Called with a box's name on the box's thread, before it is answered.
    std::function<void(const std::string &name)> onBox;
    // The names of the boxes shown so far, in order.
    std::vector<std::string> Boxes() const;

    // The dialog on this thread with the program's procedure (no message loop).
    void OpenDialog();
    // The start-up load of exe.
    void Load();
    // Called by Run before the worker starts.
    std::function<void()> beforeRun;
    // One restore run on this thread into dest; answers the run state it ends in.
    LONG Run();
    // A cancel request, as the Cancel button makes it, once a position of at least this
    // was sent.
    void CancelAt(int position);

    // Puts a file "old" of kOldSeconds at dest.
    void PutOldFile() const;
    // A control's text.
    std::string Text(int id) const;
    // Checks what dest holds: the first `kept` bytes of content with that stamp, or
    // kAbsent, kOldFile, kFolder.
    void ExpectDestination(long long kept, Stamp stamp) const;

private:
    static int Handle(void *context, HWND owner, const char *text, const char *caption, UINT type);
    static void Observe(void *context, HWND window);
    // A box's name: its identifier's, when it shows that identifier's bytes.
    std::string Name(const ShimMessageBox &box, LONG id) const;
    mutable std::mutex lock_;
    std::deque<int> answers_;
    std::vector<LONG> shown_; // the identifier of each box shown, in order
    long long runStart_ = 0;
    std::atomic<int> cancelAt_{-1};
};

void TruncateFile(const std::string &path, long long size);
// Waits up to `seconds` for a condition; whether it came true.
bool WaitFor(const std::function<bool()> &condition, double seconds = 20);
// A table label as a test name: its letters and digits.
std::string TestName(const std::string &label);
