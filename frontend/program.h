// frontend/program.h: the restore program inside this process: its UI thread (WinMain and
// its message loop), what its dialog shows, the buttons and the destination field worked
// as a user works them, and the questions (message boxes, the Save dialog) it puts to the
// user, handed to the front end's thread and answered from there.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// What dialog 102 shows. Texts are the program's bytes: code page 932, except the
// destination, which holds a path as the file system takes it.
struct DialogView {
    struct Button {
        std::string text; // with the mnemonic's '&'
        bool enabled;
        bool operator==(const Button &other) const { return text == other.text && enabled == other.enabled; }
    };
    bool alive = false;
    std::string destination;
    bool destinationEnabled = false;
    std::string label;  // the destination field's label
    std::string group;  // the information group box's title
    std::string info;   // the information and status text
    Button start, close, browse;
    int rangeLow = 0, rangeHigh = 100, position = 0;

    bool operator==(const DialogView &o) const
    {
        return alive == o.alive && destination == o.destination && destinationEnabled == o.destinationEnabled &&
               label == o.label && group == o.group && info == o.info && start == o.start && close == o.close &&
               browse == o.browse && rangeLow == o.rangeLow && rangeHigh == o.rangeHigh && position == o.position;
    }
    bool operator!=(const DialogView &o) const { return !(*this == o); }
};

// A message box or the Save dialog, waiting for the user's answer.
struct Question {
    bool saveDialog = false;
    bool fromUiThread = false; // asked by the dialog's own thread, not by the restore worker
    // A message box.
    std::string text, caption;
    UINT type = 0;
    int message = -1; // its identifier in the program's catalogue (restore/messages.h)
    // The Save dialog.
    std::string title, fileName;
    std::vector<std::string> filters; // display text and pattern, pair after pair
    size_t maxFile = 0;               // the buffer for the chosen path, its zero included
};

struct Reply {
    int button = IDCANCEL;     // a message box's answer
    bool chosen = false;       // the Save dialog: a path was chosen
    std::string path;          // shorter than Question::maxFile
};

// Runs the program with `modulePath` as its own path: handlers and observer installed,
// WinMain on a thread of its own. Returns the descriptor that becomes readable whenever
// the dialog changes, a question waits or WinMain has returned.
int StartProgram(const char *modulePath);
// Empties the descriptor StartProgram returned.
void DrainProgramWake(void);
// Whether WinMain has returned.
bool ProgramEnded(void);
// Waits for WinMain and every thread the program started; answers WinMain's result.
int EndProgram(void);

DialogView ViewDialog(void);

// The question waiting for an answer, if any; it stays until AnswerQuestion.
bool PendingQuestion(Question *question);
void AnswerQuestion(const Reply &reply);

// A click on a button (WM_COMMAND with its ID), as a user makes it.
void PressButton(int id);
// Alt and a letter (WM_MENUCHAR), which the program turns into its buttons' commands.
void PressMnemonic(char letter);
// The destination field's text, as typing it would set it.
void TypeDestination(const std::string &text);
