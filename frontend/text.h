// frontend/text.h: texts for the terminal: the program's code page 932 texts as UTF-8,
// made safe to print, their widths on the screen, and a one-line editor for paths.
#pragma once
#include <string>
#include <utility>
#include <vector>

// A path as the program writes it into a text (file system bytes) and as it is shown.
typedef std::pair<std::string, std::string> PathInText;

// Opens the code page 932 converter (CP932, or SHIFT_JIS where CP932 is unknown). False
// when neither exists; texts are then shown with '?' for every byte above 0x7F.
bool OpenTextConverter(void);

// The program's code page 932 text as UTF-8. A stretch equal to the first of one of
// `paths` is a path in file system bytes (the program copies paths into its texts) and is
// shown as the second. Bytes that are no character become '?'. Not yet safe to print: see
// Printable.
std::string Utf8FromProgram(const std::string &text, const std::vector<PathInText> &paths = {});

// A code page 932 text as UTF-8; false when it holds a byte sequence that is no character.
bool Utf8FromCp932(const std::string &text, std::string *utf8);

// Any bytes made safe for a terminal: invalid UTF-8, control characters (but \n), DEL,
// C1 controls and bidirectional controls become '?', \r is dropped and \t is a blank.
std::string Printable(const std::string &text);

// Columns a printable UTF-8 text takes (East Asian wide characters take two).
int TextWidth(const std::string &text);
// The longest start of a printable text that takes at most `columns` columns.
std::string FitWidth(const std::string &text, int columns);
// A printable text cut into lines at \n and wrapped at `columns`.
std::vector<std::string> WrapLines(const std::string &text, int columns);

// A count with a comma before every group of three digits: 1,234,567.
std::string Grouped(long long value);

// A one-line editor over bytes, for paths: the cursor moves by UTF-8 character, and a
// byte that is no part of one counts as a character of its own.
class LineEditor {
public:
    void Set(const std::string &text);
    const std::string &Text() const { return text_; }
    void Insert(const std::string &bytes);
    void Backspace();
    void Delete();
    void Left();
    void Right();
    void Home() { cursor_ = 0; }
    void End() { cursor_ = text_.size(); }
    void KillToEnd() { text_.erase(cursor_); }
    // What `columns` columns show, scrolled so that the cursor is in view, and the
    // cursor's column in it.
    std::string View(int columns, int *cursorColumn);

private:
    std::string text_;
    size_t cursor_ = 0; // a byte offset at a character boundary
    size_t scroll_ = 0; // the first byte shown
};
