// frontend/frontend.h: what the terminal front end's parts share: the session (the set and
// the command line), the run as the dialog shows it, the destination rules and the faces:
// interactive, unattended and the check.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "frontend/program.h"
#include "frontend/text.h"

// Texts of the program the front end recognises (code page 932, like the program's).
extern const char kTemplateInfoText[];  // the information text before the start-up load
extern const char kStatusFinished[];
extern const char kStatusStopped[];
extern const char kDialogCaption[];
extern const char kOverwriteCaption[];  // the question before an existing file is replaced
extern const char kConfirmCaption[];    // questions and warnings about the data

// Exit statuses of a restore (the check has its own: 0 sound, 1 damaged, 2 repairable).
const int kExitRestored = 0;        // written whole, every piece passed every check it has
const int kExitNotRestored = 1;     // stopped, cancelled or failed
const int kExitRestoredWrong = 3;   // finished, but holding data known to be wrong
const int kExitWrongCommandLine = 64;

// Whether a question so answered leaves the restored file holding data known to be wrong:
// the last piece's damage notice, or a damaged piece or a piece of another set taken in.
bool MarksDataWrong(const Question &question, int answer);

// The longest destination the restore worker reads from the field, without its zero.
const size_t kMaxDestination = 1283;

struct Session {
    enum Policy { kAskUser, kAnswerYes, kAnswerNo };
    std::string startFolder; // where the command was started: relative destinations start here
    std::string setPath;     // the set's executable, absolute, for the title
    std::string setFolder;   // its folder: the current folder while the program runs
    std::string setName;     // its file name: the program's own path, relative to setFolder
    std::string output;      // -o, absolute; empty to keep the proposal
    std::string recovery;    // without the executable: the recovery file it is restored from
    Policy policy = kAskUser;
};

// The run as the dialog shows it, followed by both faces.
struct RunTrack {
    bool loaded = false;      // the start-up load has filled the dialog (or failed)
    bool running = false;     // a restore run is on: its Start button is disabled
    int runs = 0;             // runs seen to start
    std::string destination;  // the path the current or last run writes
    std::string total;        // the split file's size as the information text groups it
    long long written = -1;   // the destination's size since a run started; -1 unknown
};

// Takes in a new view: after the start-up load the destination is set (-o, or the
// proposal made fit for this system), runs are noticed and the bytes written measured.
void FollowRun(const DialogView &view, const Session &session, RunTrack *track);

// A typed destination as the program gets it: ~/ is the home folder, and a relative path
// starts in the folder the command was started in.
std::string ResolveDestination(const std::string &typed, const Session &session);
// The program's proposal made fit for this system: the stored name (code page 932) as
// UTF-8, in the set's folder spelled as it is (the program upper-cases the folder, which
// only a file system that ignores case takes).
std::string FixProposal(const std::string &proposal, const Session &session);
// Whether a path names the set's executable, one of its piece files or its recovery file,
// under any name the program takes for one (letters in any case, every piece number that
// is there, also behind a missing one): overwriting it would destroy the set being
// restored.
bool IsFileOfSet(const std::string &path, const Session &session);

// Whether name is base ("Data.") followed by the recovery file's extension d00 or a piece
// file's d02, d03, ..., d99, d100, ... (as "d%02d" makes them), letters in any case.
bool IsPieceName(const std::string &name, const std::string &base);
// Whether name is a later recovery file of the set whose names begin with base ("Data."):
// base, "d00." and two digits or more, the letters in any case.
bool IsRecoveryRowName(const std::string &name, const std::string &base);
// The file of folder named name, found as the program finds a file: the exact name, else
// one that differs only in the case of ASCII letters; "" when there is none.
std::string SetFileNamed(const std::string &folder, const std::string &name);
// Whether a question is the overwrite question for a file of the set; it is answered No
// without asking.
bool IsOverwriteOfSetFile(const Question &question, const std::string &destination, const Session &session);
// The paths the program copies into its message texts, and how they are shown: the set's
// own files (named relative to its folder) with the folder in front, as on Windows.
std::vector<PathInText> PathsInTexts(const std::string &destination, const Session &session);

// A message box's buttons in order, their answers and letters.
struct BoxButton {
    int answer;
    char letter;
    const char *label; // code page 932
};
std::vector<BoxButton> ButtonsOf(UINT type);
// The answer that refuses: Cancel, else No, else the only button.
int RefusingAnswer(UINT type);
const char *AnswerName(int answer);

// What a face that runs without a person does at the steps of the run DriveUnattended leads.
class UnattendedFace {
public:
    virtual ~UnattendedFace() {}
    // The answer to a question the program asks, `view` being the dialog behind it and
    // `started` whether Start has been pressed.
    virtual int Answer(const Question &question, const DialogView &view, bool started) = 0;
    // The first interrupt (SIGINT, SIGTERM, SIGHUP) has arrived.
    virtual void Interrupted() = 0;
    // The dialog is filled and Start is pressed next.
    virtual void Starting(const DialogView &) {}
    // The run has ended; `view` shows its last status.
    virtual void Ended(const DialogView &) {}
    // How long to wait for the program between steps, in ms; -1 until it changes.
    virtual int WaitLimitMs(const RunTrack &) { return -1; }
    // After every step while the program is running.
    virtual void Stepped(const DialogView &, const RunTrack &) {}
};

struct UnattendedRun {
    RunTrack track;
    bool finished = false;    // the run ended with the "finished" status
    bool knownWrong = false;  // an answer took data known to be wrong into the file
    bool interrupted = false; // an interrupt arrived
};

// Runs the program without a person: Start once the dialog is filled, each question to
// `face`, Cancel on an interrupt, Close when the run has ended or could not start; returns
// when WinMain has.
UnattendedRun DriveUnattended(const Session &session, int programFd, int signalFd, UnattendedFace *face);

// The faces; each returns the exit status.
int RunInteractive(const Session &session, int programFd, int signalFd);
int RunUnattended(const Session &session, int programFd, int signalFd);
// The check: before the program starts, PrepareCheck makes the stand-in's write sink the
// destination; RunCheck then reads the whole set, prints a line per piece and a verdict,
// and answers 0 when the set is sound, 1 when not.
void PrepareCheck(Session *session);
int RunCheck(const Session &session, int programFd, int signalFd);
