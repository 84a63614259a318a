// frontend/unattended.cpp: the unattended face: Start as soon as the dialog is filled, every
// question answered by a fixed policy and written to standard error, a one-line progress
// when standard error is a terminal, and the exit status from the dialog's last status.
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "frontend/frontend.h"
#include "frontend/terminal.h"
#include "frontend/text.h"
#include "resource.h"

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

} // namespace

int RunUnattended(const Session &session, int programFd, int signalFd)
{
    const bool progress = isatty(STDERR_FILENO) != 0;
    RunTrack track;
    DialogView view;
    bool startPressed = false, cancelPressed = false, closePressed = false;
    bool interrupted = false, startFailed = false;
    int status = 1;
    Clock::time_point lastProgress;
    for (;;) {
        const int fds[2] = {programFd, signalFd};
        bool readable[2];
        WaitReadable(fds, readable, 2, progress && track.running ? kProgressIntervalMs : -1);
        DrainProgramWake();
        for (int signal; (signal = TakeSignal()) != 0;) {
            if (signal != SIGWINCH && !interrupted) {
                interrupted = true;
                Say("parcelon-restore: interrupted; stopping (again to quit at once)\n");
            }
        }
        view = ViewDialog();
        Question question;
        if (PendingQuestion(&question)) {
            const std::vector<PathInText> paths = PathsInTexts(view.destination, session);
            int answer = PolicyAnswer(question, session);
            std::string note;
            if (IsOverwriteOfSetFile(question, view.destination, session)) {
                answer = IDNO;
                note = " (the destination is a file of this set: it is never overwritten)";
            }
            if (question.saveDialog)
                answer = IDCANCEL;
            Say("[" + Printable(Utf8FromProgram(question.caption)) + "] " + Indented(question.text, paths) + "\n  -> " +
                AnswerName(answer) + note + "\n");
            // A box from the dialog's own thread after Start means the run could not begin.
            if (question.fromUiThread && startPressed)
                startFailed = true;
            Reply reply;
            reply.button = answer;
            AnswerQuestion(reply);
        }
        FollowRun(view, session, &track);
        if (ProgramEnded())
            break;
        if (!view.alive)
            continue;
        if (track.loaded && !startPressed && !interrupted) {
            Say(Printable(Utf8FromProgram(view.info)) + "\n" + Printable(Utf8FromProgram(view.label)) + ": " +
                Printable(ViewDialog().destination) + "\n");
            PressButton(IDC_START);
            startPressed = true;
        }
        const bool ended = startPressed && view.start.enabled &&
                           (view.info == kStatusFinished || view.info == kStatusStopped);
        // Close means cancel while a run is on: an interrupt before Start closes, one after
        // it cancels once the run is seen, and the run's end then closes.
        if (interrupted && track.running && !cancelPressed) {
            PressButton(IDC_CLOSE);
            cancelPressed = true;
        }
        if ((ended || startFailed || (interrupted && !startPressed)) && !closePressed) {
            if (ended)
                Say(Printable(Utf8FromProgram(view.info)) + "\n");
            status = ended && view.info == kStatusFinished ? 0 : 1;
            PressButton(IDC_CLOSE);
            closePressed = true;
        }
        if (progress && track.running && Clock::now() - lastProgress >= std::chrono::milliseconds(kProgressIntervalMs)) {
            ShowProgress(view, track);
            lastProgress = Clock::now();
        }
    }
    if (g_progressShown)
        Say("");
    return status;
}
