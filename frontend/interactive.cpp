// frontend/interactive.cpp: the interactive face: dialog 102 drawn as text in the terminal,
// the keyboard working its field and buttons, message boxes as prompts, and the Save
// dialog as a path typed on a line of its own.
#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "frontend/frontend.h"
#include "frontend/terminal.h"
#include "frontend/text.h"
#include "resource.h"

namespace {

typedef std::chrono::steady_clock Clock;
typedef std::chrono::milliseconds Ms;

const Ms kPaintInterval(200);     // what the program changes is shown at most 5 times a second
const Ms kEscapeWait(50);         // an escape byte with nothing behind it is the Escape key
const Ms kFirstPaintWait(500);    // the first picture waits this long for the start-up load
const Ms kQuitPressInterval(500); // while quitting, Close is pressed again this often
const int kMaxWidth = 100;
const int kMinWidth = 40;
const int kButtonColumn = 16;     // width of the right-hand column that holds the buttons
const int kInfoLines = 3;

const char kReverse[] = "\x1b[7m";
const char kUnderline[] = "\x1b[4m";
const char kBold[] = "\x1b[1m";
const char kDim[] = "\x1b[2m";
const char kPlain[] = "\x1b[0m";
// Labels of the Save dialog's two fields, as the system dialog names them.
const char kFileTypeLabel[] = "ファイルの種類(T): ";
const char kFileNameLabel[] = "ファイル名(N): ";

// The controls that take the keyboard, in the template's tab order.
enum Focus { kFocusStart, kFocusClose, kFocusField, kFocusBrowse, kFocusCount };

// One line of the picture: printable text with attributes, and the columns it takes.
class Line {
public:
    Line &Add(const std::string &text, const std::string &attributes = "")
    {
        bytes_ += attributes.empty() ? text : attributes + text + kPlain;
        width_ += TextWidth(text);
        return *this;
    }
    Line &PadTo(int column, const std::string &attributes = "")
    {
        return width_ < column ? Add(std::string((size_t)(column - width_), ' '), attributes) : *this;
    }
    int Width() const { return width_; }
    const std::string &Bytes() const { return bytes_; }

private:
    std::string bytes_;
    int width_ = 0;
};

struct Face {
    const Session *session;
    DialogView view;             // the dialog as last read; alive or not
    DialogView shownView;        // the last view of a living dialog: what is drawn
    RunTrack track;
    // The control the user gave the focus to; the default button at first, as on Windows.
    // While it is disabled (Start, Browse and the field during a run) the next enabled
    // control has the focus, and it comes back when it is enabled again.
    Focus focus = kFocusStart;
    LineEditor field;            // the destination as the user types it
    std::string fieldKnown;      // the field's text as last pushed or taken from the dialog
    bool asking = false;         // a question is on the screen
    Question question;
    size_t selected = 0;         // the message box button the arrows have chosen
    LineEditor savePath;
    std::string saveError;
    std::string note;            // one line for what the front end itself has to say
    bool quitting = false;       // a signal or a closed terminal asked to end
    Clock::time_point lastQuitPress;
    int columns = 80, rows = 24;
    std::vector<std::string> shown; // the lines on the screen
    int shownCursorRow = -1, shownCursorColumn = -1;
    bool repaintAll = true;
    bool paintDeferred = false;
    Clock::time_point lastPaint, started;
    int knownWrongRun = -1;      // the run (by track.runs) an answer took known wrong data into
};

std::string Cursor(int row, int column)
{
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
}

std::string Shown(const std::string &programText, const std::vector<PathInText> &paths = {})
{
    return Printable(Utf8FromProgram(programText, paths));
}

// A button: in brackets while enabled, dim without them while disabled, reversed with
// the focus; its mnemonic letter is underlined and its '&' left out.
void AddButton(Line &line, const DialogView::Button &button, bool focused)
{
    const std::string text = Shown(button.text);
    const size_t amp = text.find('&');
    std::string before = text, letter, after;
    if (amp != std::string::npos && amp + 1 < text.size()) {
        before = text.substr(0, amp);
        letter = text.substr(amp + 1, 1);
        after = text.substr(amp + 2);
    }
    const std::string base = focused ? kReverse : button.enabled ? "" : kDim;
    // All buttons take the column's width, their texts centred.
    const int room = std::max(0, kButtonColumn - 5 - TextWidth(before + letter + after));
    line.Add((button.enabled ? "[ " : "  ") + std::string((size_t)(room / 2), ' '), base);
    line.Add(before, base).Add(letter, kUnderline + base).Add(after, base);
    line.Add(std::string((size_t)(room - room / 2), ' ') + (button.enabled ? " ]" : "  "), base);
}

Line BoxTop(int from, int to, const std::string &title)
{
    Line line;
    line.PadTo(from).Add("+- ").Add(FitWidth(title, to - from - 6), kBold).Add(" ");
    return line.Add(std::string((size_t)std::max(0, to - line.Width()), '-')).Add("+");
}

Line BoxRow(int from, int to, const std::string &text, const std::string &attributes = "")
{
    Line line;
    line.PadTo(from).Add("| ").Add(FitWidth(text, to - from - 3), attributes);
    return line.PadTo(to).Add("|");
}

Line BoxBottom(int from, int to)
{
    Line line;
    return line.PadTo(from).Add("+" + std::string((size_t)std::max(0, to - from - 1), '-') + "+");
}

bool Enabled(const DialogView &view, int focus)
{
    switch (focus) {
    case kFocusStart: return view.start.enabled;
    case kFocusClose: return view.close.enabled;
    case kFocusField: return view.destinationEnabled;
    default: return view.browse.enabled;
    }
}

Focus FocusOn(const Face &face)
{
    int focus = face.focus;
    for (int i = 0; i < kFocusCount && !Enabled(face.shownView, focus); i++)
        focus = (focus + 1) % kFocusCount;
    return (Focus)focus;
}

void MoveFocus(Face &face, int step)
{
    int focus = FocusOn(face);
    for (int i = 0; i < kFocusCount; i++) {
        focus = (focus + step + kFocusCount) % kFocusCount;
        if (Enabled(face.shownView, focus))
            break;
    }
    face.focus = (Focus)focus;
}

void ComposeMessageBox(const Face &face, int width, std::vector<Line> *lines)
{
    const Question &question = face.question;
    const int from = 1, to = width - 1;
    lines->push_back(BoxTop(from, to, Shown(question.caption)));
    static const char *const kIcons[] = {"   ", "(x)", "(?)", "(!)", "(i)"};
    const UINT icon = (question.type >> 4) & 0xF;
    const std::vector<std::string> text =
        WrapLines(Shown(question.text, PathsInTexts(face.shownView.destination, *face.session)), to - from - 7);
    for (size_t i = 0; i < text.size(); i++)
        lines->push_back(BoxRow(from, to, std::string(i == 0 && icon < 5 ? kIcons[icon] : "   ") + " " + text[i]));
    lines->push_back(BoxRow(from, to, ""));
    const std::vector<BoxButton> buttons = ButtonsOf(question.type);
    Line row;
    int buttonsWidth = 0;
    for (const BoxButton &button : buttons)
        buttonsWidth += TextWidth(Shown(button.label)) + 6;
    row.PadTo(from).Add("|").PadTo(std::max(from + 2, (from + to - buttonsWidth) / 2));
    for (size_t i = 0; i < buttons.size(); i++)
        row.Add("[ " + Shown(buttons[i].label) + " ]", i == face.selected ? kReverse : "").Add("  ");
    lines->push_back(row.PadTo(to).Add("|"));
    lines->push_back(BoxBottom(from, to));
}

void ComposeSaveDialog(Face &face, int width, std::vector<Line> *lines, int *cursorRow, int *cursorColumn)
{
    const Question &question = face.question;
    const int from = 1, to = width - 1;
    lines->push_back(BoxTop(from, to, Shown(question.title)));
    std::string types;
    for (size_t i = 0; i < question.filters.size(); i += 2)
        types += (i > 0 ? "  /  " : "") + Shown(question.filters[i]);
    lines->push_back(BoxRow(from, to, Shown(kFileTypeLabel) + types));
    Line row;
    row.PadTo(from).Add("| ").Add(Shown(kFileNameLabel)).Add("[");
    const int start = row.Width();
    int column;
    row.Add(face.savePath.View(to - start - 3, &column)).PadTo(to - 2).Add("]").PadTo(to).Add("|");
    *cursorRow = (int)lines->size();
    *cursorColumn = start + column;
    lines->push_back(row);
    lines->push_back(BoxRow(from, to, face.saveError, kBold));
    lines->push_back(BoxRow(from, to, "Enter: save here.  An empty line or Esc: cancel."));
    lines->push_back(BoxBottom(from, to));
}

const char *Hint(const Face &face)
{
    if (face.asking && face.question.saveDialog)
        return "A relative path starts in the folder the command was started in; ~/ is your home folder.";
    if (face.asking)
        return "Press a button's letter, or choose with the arrow keys and press Enter.";
    if (FocusOn(face) == kFocusField)
        return "Type the destination.  Enter: start  Tab: next control  Alt+X start  Alt+C close";
    return "X: start  C: close/cancel  R: browse  Tab: next control  Enter: press the focused button";
}

std::vector<std::string> Compose(Face &face, int *cursorRow, int *cursorColumn)
{
    const DialogView &view = face.shownView;
    const int width = std::max(kMinWidth, std::min(kMaxWidth, face.columns - 1));
    const int right = width - kButtonColumn; // the buttons' column
    const int left = right - 2;              // the last column of the left-hand side
    const bool keys = !face.asking;          // the dialog has the keyboard
    const Focus focus = FocusOn(face);
    std::vector<Line> lines;
    *cursorRow = -1;

    std::string title = FitWidth(" " + Shown(kDialogCaption) + "   " + Printable(face.session->setPath), width);
    lines.push_back(Line().Add(title + std::string((size_t)(width - TextWidth(title)), ' '), kReverse));
    lines.push_back(Line());

    Line fieldRow;
    fieldRow.Add(" ").Add(Shown(view.label)).Add(" ");
    const bool fieldOn = view.destinationEnabled;
    fieldRow.Add(fieldOn ? "[" : " ");
    const int fieldStart = fieldRow.Width();
    const int fieldWidth = std::max(8, right - 2 - fieldStart - 1);
    int column;
    fieldRow.Add(face.field.View(fieldWidth, &column), fieldOn ? "" : kDim).PadTo(fieldStart + fieldWidth);
    fieldRow.Add(fieldOn ? "]" : " ").PadTo(right);
    if (keys && focus == kFocusField && fieldOn) {
        *cursorRow = (int)lines.size();
        *cursorColumn = fieldStart + column;
    }
    AddButton(fieldRow, view.browse, keys && focus == kFocusBrowse);
    lines.push_back(fieldRow);
    lines.push_back(Line());

    lines.push_back(BoxTop(1, left, Shown(view.group)));
    std::vector<std::string> info =
        WrapLines(Shown(view.info), left - 4);
    info.resize(kInfoLines);
    for (int i = 0; i < kInfoLines; i++) {
        Line row = BoxRow(1, left, info[(size_t)i]);
        if (i != 1)
            AddButton(row.PadTo(right), i == 0 ? view.start : view.close,
                      keys && focus == (i == 0 ? kFocusStart : kFocusClose));
        lines.push_back(row);
    }
    lines.push_back(BoxBottom(1, left));

    const int span = view.rangeHigh - view.rangeLow;
    const int percent = span > 0 ? (view.position - view.rangeLow) * 100 / span : 0;
    const int barWidth = left - 2;
    const int filled = std::max(0, std::min(barWidth, percent * barWidth / 100));
    lines.push_back(Line()
                        .PadTo(1)
                        .Add("[" + std::string((size_t)filled, '#') + std::string((size_t)(barWidth - filled), '.') + "]")
                        .PadTo(right)
                        .Add(std::to_string(percent) + "%"));
    std::string bytes;
    if (face.track.written >= 0)
        bytes = Grouped(face.track.written) + (face.track.total.empty() ? "" : " / " + face.track.total) + " bytes";
    lines.push_back(Line().PadTo(2).Add(bytes));
    lines.push_back(Line());
    lines.push_back(Line().Add(" ").Add(FitWidth(Hint(face), width - 1), kDim));
    lines.push_back(Line().Add(" ").Add(FitWidth(Printable(face.note), width - 1), kBold));
    if (face.asking && face.question.saveDialog)
        ComposeSaveDialog(face, width, &lines, cursorRow, cursorColumn);
    else if (face.asking)
        ComposeMessageBox(face, width, &lines);

    std::vector<std::string> out;
    for (const Line &line : lines)
        out.push_back(line.Bytes());
    return out;
}

// A composed line cut to `columns` columns, its attribute sequences kept: on a terminal
// narrower than the picture nothing wraps into the next line.
std::string ClipLine(const std::string &bytes, int columns)
{
    std::string out;
    int width = 0;
    for (size_t at = 0; at < bytes.size();) {
        if (bytes[at] == '\x1b') {
            const size_t end = bytes.find_first_of("mHJK", at);
            if (end == std::string::npos)
                break;
            out.append(bytes, at, end - at + 1);
            at = end + 1;
            continue;
        }
        size_t next = at + 1;
        while (next < bytes.size() && ((unsigned char)bytes[next] & 0xC0) == 0x80)
            next++;
        const std::string character = bytes.substr(at, next - at);
        width += TextWidth(character);
        if (width <= columns)
            out += character;
        at = next;
    }
    return out;
}

// Draws what changed, line by line. The program's changes are drawn at most five times a
// second; a key's effect at once.
void Paint(Face &face, bool forKey)
{
    const Clock::time_point now = Clock::now();
    face.paintDeferred = false;
    if (!face.track.loaded && !face.asking && now - face.started < kFirstPaintWait)
        return;
    int cursorRow, cursorColumn;
    std::vector<std::string> lines = Compose(face, &cursorRow, &cursorColumn);
    for (std::string &line : lines)
        line = ClipLine(line, face.columns - 1);
    cursorColumn = std::min(cursorColumn, face.columns - 1);
    if (!face.repaintAll && lines == face.shown && cursorRow == face.shownCursorRow &&
        cursorColumn == face.shownCursorColumn)
        return;
    if (!forKey && !face.repaintAll && now - face.lastPaint < kPaintInterval) {
        face.paintDeferred = true;
        return;
    }
    std::string out;
    if (face.repaintAll) {
        out += "\x1b[H\x1b[2J";
        face.shown.clear();
    }
    for (size_t i = 0; i < std::max(lines.size(), face.shown.size()) && (int)i < face.rows; i++) {
        if (i >= lines.size())
            out += Cursor((int)i, 0) + "\x1b[K";
        else if (i >= face.shown.size() || face.shown[i] != lines[i])
            out += Cursor((int)i, 0) + lines[i] + kPlain + "\x1b[K";
    }
    if (cursorRow >= 0 && cursorRow < face.rows)
        out += Cursor(cursorRow, cursorColumn) + "\x1b[?25h";
    else
        out += "\x1b[?25l";
    WriteAll(STDOUT_FILENO, out);
    face.shown = lines;
    face.shownCursorRow = cursorRow;
    face.shownCursorColumn = cursorColumn;
    face.repaintAll = false;
    face.lastPaint = now;
}

void Press(const Face &face, int id)
{
    const DialogView &view = face.shownView;
    const DialogView::Button &button = id == IDC_START ? view.start : id == IDC_CLOSE ? view.close : view.browse;
    if (view.alive && button.enabled)
        PressButton(id);
}

void PressFocused(const Face &face)
{
    static const int kIds[kFocusCount] = {IDC_START, IDC_CLOSE, IDC_START, IDC_BROWSE};
    Press(face, kIds[FocusOn(face)]);
}

void Answer(Face &face, const Reply &reply)
{
    if (MarksDataWrong(face.question, reply.button))
        face.knownWrongRun = face.track.runs;
    AnswerQuestion(reply);
    face.asking = false;
}

void AnswerBox(Face &face, int answer)
{
    Reply reply;
    reply.button = answer;
    Answer(face, reply);
}

// The line editing keys, shared by the field and the Save dialog's path; false for others.
bool Edit(LineEditor &editor, const Key &key)
{
    switch (key.kind) {
    case Key::kText: editor.Insert(key.text); return true;
    case Key::kBackspace: editor.Backspace(); return true;
    case Key::kDelete: editor.Delete(); return true;
    case Key::kLeft: editor.Left(); return true;
    case Key::kRight: editor.Right(); return true;
    case Key::kHome: editor.Home(); return true;
    case Key::kEnd: editor.End(); return true;
    case Key::kClearLine: editor.Set(""); return true;
    case Key::kKillToEnd: editor.KillToEnd(); return true;
    default: return false;
    }
}

void OnFieldKey(Face &face, const Key &key)
{
    if (key.kind == Key::kEnter) {
        Press(face, IDC_START);
        return;
    }
    const LineEditor before = face.field;
    if (!Edit(face.field, key) || face.field.Text() == before.Text())
        return;
    const std::string resolved = ResolveDestination(face.field.Text(), *face.session);
    if (resolved.size() > kMaxDestination) {
        face.field = before;
        face.note = "The destination holds at most " + std::to_string(kMaxDestination) + " bytes.";
        return;
    }
    TypeDestination(resolved);
    face.fieldKnown = resolved;
}

void OnDialogKey(Face &face, const Key &key)
{
    if (key.kind == Key::kTab || key.kind == Key::kBackTab) {
        MoveFocus(face, key.kind == Key::kTab ? 1 : -1);
        return;
    }
    if (key.kind == Key::kAlt) {
        const char letter = (char)toupper((unsigned char)key.text[0]);
        if (letter == 'X' || letter == 'C')
            PressMnemonic(letter);
        else if (letter == 'R')
            Press(face, IDC_BROWSE);
        return;
    }
    if (FocusOn(face) == kFocusField) {
        OnFieldKey(face, key);
        return;
    }
    switch (key.kind) {
    case Key::kEnter: PressFocused(face); return;
    case Key::kLeft: case Key::kUp: MoveFocus(face, -1); return;
    case Key::kRight: case Key::kDown: MoveFocus(face, 1); return;
    case Key::kText: break;
    default: return;
    }
    switch (toupper((unsigned char)key.text[0])) {
    case 'X': Press(face, IDC_START); break;
    case 'C': Press(face, IDC_CLOSE); break;
    case 'R': Press(face, IDC_BROWSE); break;
    case ' ': PressFocused(face); break;
    }
}

void OnBoxKey(Face &face, const Key &key)
{
    const std::vector<BoxButton> buttons = ButtonsOf(face.question.type);
    const size_t count = buttons.size();
    switch (key.kind) {
    case Key::kText: case Key::kAlt:
        if (key.text == " ") {
            AnswerBox(face, buttons[face.selected].answer);
            return;
        }
        for (const BoxButton &button : buttons)
            if (button.letter == toupper((unsigned char)key.text[0])) {
                AnswerBox(face, button.answer);
                return;
            }
        return;
    case Key::kLeft: case Key::kUp: case Key::kBackTab: face.selected = (face.selected + count - 1) % count; return;
    case Key::kRight: case Key::kDown: case Key::kTab: face.selected = (face.selected + 1) % count; return;
    case Key::kEnter: AnswerBox(face, buttons[face.selected].answer); return;
    case Key::kEscape:
        // As on Windows, Escape works where a box has a Cancel button, or only OK.
        for (const BoxButton &button : buttons)
            if (button.answer == IDCANCEL || count == 1) {
                AnswerBox(face, button.answer);
                return;
            }
        return;
    default: return;
    }
}

// Why a typed path cannot be taken, as the Save dialog would refuse it; empty when it can.
std::string SaveError(const std::string &path, size_t maxFile)
{
    if (path.size() >= maxFile)
        return "Too long: the Save dialog takes at most " + std::to_string(maxFile - 1) + " bytes.";
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return "That is a folder: add the file's name.";
    const size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "The folder does not exist.";
    return "";
}

void OnSaveKey(Face &face, const Key &key)
{
    Reply reply;
    if (key.kind == Key::kEscape) {
        Answer(face, reply);
        return;
    }
    if (key.kind == Key::kEnter) {
        if (face.savePath.Text().empty()) {
            Answer(face, reply);
            return;
        }
        const std::string path = ResolveDestination(face.savePath.Text(), *face.session);
        face.saveError = SaveError(path, face.question.maxFile);
        if (!face.saveError.empty())
            return;
        reply.chosen = true;
        reply.path = path;
        Answer(face, reply);
        return;
    }
    if (Edit(face.savePath, key))
        face.saveError.clear();
}

void TakeQuestion(Face &face)
{
    if (face.asking || !PendingQuestion(&face.question))
        return;
    face.asking = true;
    face.selected = 0;
    face.saveError.clear();
    if (face.question.saveDialog)
        face.savePath.Set(face.question.fileName);
    if (IsOverwriteOfSetFile(face.question, face.shownView.destination, *face.session)) {
        face.note = "The destination is a file of this set: it is never overwritten.";
        AnswerBox(face, IDNO);
    }
}

// Ending on a signal or a closed terminal: every question refused, Close pressed until the
// program is gone (a first press may only cancel the run).
void Quit(Face &face)
{
    if (face.asking) {
        if (face.question.saveDialog)
            Answer(face, Reply());
        else
            AnswerBox(face, RefusingAnswer(face.question.type));
        return;
    }
    const Clock::time_point now = Clock::now();
    if (face.view.alive && now - face.lastQuitPress >= kQuitPressInterval) {
        PressButton(IDC_CLOSE);
        face.lastQuitPress = now;
    }
}

} // namespace

int RunInteractive(const Session &session, int programFd, int signalFd)
{
    Face face;
    face.session = &session;
    face.started = Clock::now();
    if (!EnterRawMode())
        return RunUnattended(session, programFd, signalFd);
    TerminalSize(STDOUT_FILENO, &face.columns, &face.rows);
    KeyDecoder keys;
    Clock::time_point keysSince;
    bool input = true;
    for (;;) {
        const Clock::time_point now = Clock::now();
        Ms timeout(-1);
        auto atMost = [&](Ms limit) {
            if (timeout.count() < 0 || limit < timeout)
                timeout = std::max(Ms(0), limit);
        };
        if (keys.HasPending())
            atMost(std::chrono::duration_cast<Ms>(keysSince + kEscapeWait - now));
        if (face.paintDeferred)
            atMost(std::chrono::duration_cast<Ms>(face.lastPaint + kPaintInterval - now));
        if (face.track.running || !face.track.loaded || face.quitting)
            atMost(Ms(100));
        const int fds[3] = {input ? STDIN_FILENO : -1, programFd, signalFd};
        bool readable[3];
        WaitReadable(fds, readable, 3, (int)timeout.count());

        bool keyed = false;
        if (readable[0]) {
            char bytes[256];
            const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
            if (count > 0) {
                if (!keys.HasPending())
                    keysSince = Clock::now();
                keys.Feed(bytes, (size_t)count);
            } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                input = false; // the terminal is gone
                face.quitting = true;
            }
        }
        DrainProgramWake();
        for (int signal; (signal = TakeSignal()) != 0;) {
            if (signal == SIGWINCH) {
                TerminalSize(STDOUT_FILENO, &face.columns, &face.rows);
                face.repaintAll = true;
            } else {
                face.quitting = true;
                face.note = "Interrupted: stopping (again to quit at once).";
            }
        }
        face.view = ViewDialog();
        if (face.view.alive)
            face.shownView = face.view;
        FollowRun(face.view, session, &face.track);
        if (face.view.alive && face.view.destination != face.fieldKnown) {
            face.field.Set(face.view.destination);
            face.fieldKnown = face.view.destination;
        }
        TakeQuestion(face);

        Key key;
        const bool lone = Clock::now() - keysSince >= kEscapeWait;
        while (keys.Next(&key, lone)) {
            keyed = true;
            if (!face.quitting)
                face.note.clear(); // a note stands until the next key
            if (key.kind == Key::kRedraw)
                face.repaintAll = true;
            else if (face.asking && face.question.saveDialog)
                OnSaveKey(face, key);
            else if (face.asking)
                OnBoxKey(face, key);
            else
                OnDialogKey(face, key);
            TakeQuestion(face);
        }
        if (face.quitting)
            Quit(face);
        if (ProgramEnded())
            break;
        Paint(face, keyed);
    }
    face.paintDeferred = false;
    Paint(face, true);
    // The last picture stays; the shell goes on below it.
    const int below = (int)face.shown.size();
    WriteAll(STDOUT_FILENO, kPlain + (below < face.rows ? Cursor(below, 0) : Cursor(face.rows - 1, 0) + "\n"));
    LeaveRawMode();
    if (face.shownView.info != kStatusFinished)
        return kExitNotRestored;
    return face.knownWrongRun == face.track.runs ? kExitRestoredWrong : kExitRestored;
}
