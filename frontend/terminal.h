// frontend/terminal.h: the terminal: raw mode and its restoration on every way out, the
// signals as bytes on a pipe, and the keys decoded from what the terminal sends.
#pragma once
#include <stddef.h>

#include <string>

// Puts the terminal on standard input into raw mode: no echo, no line editing, no Ctrl-Z
// and no Ctrl-\ (Ctrl-C still raises SIGINT). False when that is not possible.
bool EnterRawMode(void);
// Gives the terminal back its state from before EnterRawMode, shows the cursor and resets
// the colours. Does nothing when raw mode is not on; also runs at exit.
void LeaveRawMode(void);

// Catches SIGINT, SIGTERM, SIGHUP and SIGWINCH: each arrives as one byte on the returned
// descriptor. A second SIGINT, SIGTERM or SIGHUP ends the process at once, the terminal
// restored, with status 128 + the signal. SIGPIPE is ignored.
int InstallSignalPipe(void);
// The next signal that arrived, or 0.
int TakeSignal(void);

// Waits until one of `count` descriptors (-1: none) is readable, or `timeoutMs` have
// passed (below 0: no limit), and marks the readable ones. select(), as macOS's poll()
// does not take terminals.
void WaitReadable(const int *fds, bool *readable, int count, int timeoutMs);
// Writes all bytes to a descriptor; interrupted and short writes are resumed, errors end it.
void WriteAll(int fd, const std::string &bytes);
// The terminal's size; false when it is not known.
bool TerminalSize(int fd, int *columns, int *rows);

struct Key {
    enum Kind {
        kText,      // text: the UTF-8 bytes of one typed character
        kAlt,       // text: the letter typed with Alt (or after Escape)
        kEnter,
        kTab,
        kBackTab,
        kBackspace,
        kDelete,
        kLeft,
        kRight,
        kUp,
        kDown,
        kHome,
        kEnd,
        kEscape,
        kClearLine, // Ctrl-U
        kKillToEnd, // Ctrl-K
        kRedraw,    // Ctrl-L
    };
    Kind kind;
    std::string text;
};

// Decodes what a terminal sends (VT100 and xterm cursor keys, Alt as an escape prefix)
// into keys.
class KeyDecoder {
public:
    void Feed(const char *bytes, size_t count) { pending_.append(bytes, count); }
    // The next complete key. An escape byte or a character with nothing behind it is kept
    // until `lone` says no more bytes followed in time; a lone escape is the Escape key.
    bool Next(Key *key, bool lone);
    bool HasPending() const { return !pending_.empty(); }

private:
    std::string pending_;
};
