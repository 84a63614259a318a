// frontend/unattended.cpp: the run without a person, which the unattended face and the check
// share: Start as soon as the dialog is filled, every question handed to the face for its
// answer, Close once the run has ended; and the unattended face itself: a fixed policy
// written to standard error, a one-line progress when standard error is a terminal, and
// the exit status from the dialog's last status.
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "frontend/frontend.h"
#include "frontend/terminal.h"
#include "frontend/text.h"
#include "resource.h"
#include "restore/messages.h"

bool MarksDataWrong(const Question &question, int answer)
{
    if (question.saveDialog)
        return false;
    switch (question.message) {
    case kMsgBadLastCheck:
        return true;
    case kMsgBadCheck:
    case kMsgForeign:
        return answer == IDYES;
    default:
        return false;
    }
}

UnattendedRun DriveUnattended(const Session &session, int programFd, int signalFd, UnattendedFace *face)
{
    UnattendedRun run;
    DialogView view;
    bool startPressed = false, cancelPressed = false, closePressed = false, startFailed = false;
    for (;;) {
        const int fds[2] = {programFd, signalFd};
        bool readable[2];
        WaitReadable(fds, readable, 2, face->WaitLimitMs(run.track));
        DrainProgramWake();
        for (int signal; (signal = TakeSignal()) != 0;) {
            if (signal != SIGWINCH && !run.interrupted) {
                run.interrupted = true;
                face->Interrupted();
            }
        }
        view = ViewDialog();
        Question question;
        if (PendingQuestion(&question)) {
            // A box from the dialog's own thread after Start means the run could not begin.
            if (question.fromUiThread && startPressed)
                startFailed = true;
            Reply reply;
            reply.button = face->Answer(question, view, startPressed);
            if (MarksDataWrong(question, reply.button))
                run.knownWrong = true;
            AnswerQuestion(reply);
        }
        FollowRun(view, session, &run.track);
        if (ProgramEnded())
            break;
        if (!view.alive)
            continue;
        if (run.track.loaded && !startPressed && !run.interrupted) {
            face->Starting(view);
            PressButton(IDC_START);
            startPressed = true;
        }
        const bool ended = startPressed && view.start.enabled &&
                           (view.info == kStatusFinished || view.info == kStatusStopped);
        // Close means cancel while a run is on: an interrupt before Start closes, one after
        // it cancels once the run is seen, and the run's end then closes.
        if (run.interrupted && run.track.running && !cancelPressed) {
            PressButton(IDC_CLOSE);
            cancelPressed = true;
        }
        if ((ended || startFailed || (run.interrupted && !startPressed)) && !closePressed) {
            if (ended)
                face->Ended(view);
            run.finished = ended && view.info == kStatusFinished;
            PressButton(IDC_CLOSE);
            closePressed = true;
        }
        face->Stepped(view, run.track);
    }
    return run;
}

namespace {

typedef std::chrono::steady_clock Clock;

const int kProgressWidth = 30;
const int kProgressIntervalMs = 200;

bool g_progressShown; // the progress line is on standard error's last line; main thread

void Say(const std::string &utf8)
{
    std::string out = g_progressShown ? "\r\x1b[K" : "";
    g_progressShown = false;
    out += utf8;
    WriteAll(STDERR_FILENO, out);
}

// A program text for standard error: UTF-8, safe, each line after the first indented.
std::string Indented(const std::string &text, const std::vector<PathInText> &paths)
{
    std::string out;
    for (char c : Printable(Utf8FromProgram(text, paths)))
        out += c == '\n' ? std::string("\n  ") : std::string(1, c);
    return out;
}

// The fixed policy: OK for a notice, Cancel wherever there is one, Yes only under --yes
// and only to the overwrite question and the questions about the data.
int PolicyAnswer(const Question &question, const Session &session)
{
    if ((question.type & 0xF) == MB_YESNO && session.policy == Session::kAnswerYes &&
        (question.caption == kOverwriteCaption || question.caption == kConfirmCaption))
        return IDYES;
    return RefusingAnswer(question.type);
}

void ShowProgress(const DialogView &view, const RunTrack &track)
{
    const int span = view.rangeHigh - view.rangeLow;
    const int percent = span > 0 ? (view.position - view.rangeLow) * 100 / span : 0;
    const int filled = percent * kProgressWidth / 100;
    std::string line = "\r[" + std::string((size_t)filled, '#') + std::string((size_t)(kProgressWidth - filled), '-') +
                       "] " + std::to_string(percent) + "%";
    if (track.written >= 0)
        line += "  " + Grouped(track.written) + (track.total.empty() ? "" : " / " + track.total) + " bytes";
    WriteAll(STDERR_FILENO, line + "\x1b[K");
    g_progressShown = true;
}

// Every question and its answer on standard error, the dialog's texts at Start and at the
// end, and the progress line.
class PolicyFace : public UnattendedFace {
public:
    explicit PolicyFace(const Session &session) : session_(session), progress_(isatty(STDERR_FILENO) != 0) {}

    int Answer(const Question &question, const DialogView &view, bool) override
    {
        int answer = PolicyAnswer(question, session_);
        std::string note;
        if (IsOverwriteOfSetFile(question, view.destination, session_)) {
            answer = IDNO;
            note = " (the destination is a file of this set: it is never overwritten)";
        }
        if (question.saveDialog)
            answer = IDCANCEL;
        Say("[" + Printable(Utf8FromProgram(question.caption)) + "] " +
            Indented(question.text, PathsInTexts(view.destination, session_)) + "\n  -> " + AnswerName(answer) + note +
            "\n");
        return answer;
    }

    void Interrupted() override { Say("parcelon-restore: interrupted; stopping (again to quit at once)\n"); }

    void Starting(const DialogView &view) override
    {
        Say(Printable(Utf8FromProgram(view.info)) + "\n" + Printable(Utf8FromProgram(view.label)) + ": " +
            Printable(ViewDialog().destination) + "\n");
    }

    void Ended(const DialogView &view) override { Say(Printable(Utf8FromProgram(view.info)) + "\n"); }

    int WaitLimitMs(const RunTrack &track) override { return progress_ && track.running ? kProgressIntervalMs : -1; }

    void Stepped(const DialogView &view, const RunTrack &track) override
    {
        if (progress_ && track.running &&
            Clock::now() - lastProgress_ >= std::chrono::milliseconds(kProgressIntervalMs)) {
            ShowProgress(view, track);
            lastProgress_ = Clock::now();
        }
    }

private:
    const Session &session_;
    const bool progress_;
    Clock::time_point lastProgress_;
};

} // namespace

int RunUnattended(const Session &session, int programFd, int signalFd)
{
    PolicyFace face(session);
    const UnattendedRun run = DriveUnattended(session, programFd, signalFd, &face);
    if (g_progressShown)
        Say("");
    if (!run.finished)
        return kExitNotRestored;
    return run.knownWrong ? kExitRestoredWrong : kExitRestored;
}
