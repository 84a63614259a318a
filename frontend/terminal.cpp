// frontend/terminal.cpp: raw mode, its restoration at exit and on signals, the signal pipe
// and the key decoder.
#include "frontend/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Plain ANSI: colours and attributes off, cursor shown.
const char kRestoreSequence[] = "\x1b[0m\x1b[?25h";
const int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct termios g_savedTerminal;           // the state before raw mode; written once by EnterRawMode
volatile sig_atomic_t g_rawMode;          // raw mode is on; main thread and signal handlers
volatile sig_atomic_t g_fatalSignals;     // SIGINT, SIGTERM and SIGHUP seen so far; handlers
int g_signalPipe[2] = {-1, -1};           // the handlers write, the main thread reads

// Only async-signal-safe calls: the handlers run this too.
void RestoreTerminal(void)
{
    if (!g_rawMode)
        return;
    g_rawMode = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    ssize_t ignored = write(STDOUT_FILENO, kRestoreSequence, sizeof kRestoreSequence - 1);
    (void)ignored;
}

void OnSignal(int signal)
{
    const int savedErrno = errno;
    if (signal != SIGWINCH && ++g_fatalSignals >= 2) {
        if (g_rawMode) {
            RestoreTerminal();
            ssize_t ignored = write(STDOUT_FILENO, "\r\n", 2);
            (void)ignored;
        }
        _exit(128 + signal);
    }
    const unsigned char byte = (unsigned char)signal;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

size_t Utf8Length(unsigned char lead)
{
    return lead >= 0xF0 && lead <= 0xF7 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 && lead < 0xE0 ? 2 : 1;
}

} // namespace

bool EnterRawMode(void)
{
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return false;
    struct termios raw = g_savedTerminal;
    raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Stopping or quitting would leave the terminal raw behind a stopped or dead process.
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
#ifdef VDSUSP
    raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
    static bool registered = false;
    if (!registered && atexit(LeaveRawMode) == 0)
        registered = true;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return false;
    g_rawMode = 1;
    return true;
}

void LeaveRawMode(void)
{
    RestoreTerminal();
}

int InstallSignalPipe(void)
{
    if (g_signalPipe[0] >= 0)
        return g_signalPipe[0];
    if (pipe(g_signalPipe) != 0)
        return -1;
    for (int fd : g_signalPipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, NULL);
    sigaction(SIGWINCH, &action, NULL);
    signal(SIGPIPE, SIG_IGN);
    return g_signalPipe[0];
}

int TakeSignal(void)
{
    unsigned char byte;
    return read(g_signalPipe[0], &byte, 1) == 1 ? byte : 0;
}

void WaitReadable(const int *fds, bool *readable, int count, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    int highest = -1;
    for (int i = 0; i < count; i++) {
        readable[i] = false;
        if (fds[i] >= 0) {
            FD_SET(fds[i], &set);
            highest = fds[i] > highest ? fds[i] : highest;
        }
    }
    struct timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(highest + 1, &set, NULL, NULL, timeoutMs < 0 ? NULL : &timeout) <= 0)
        return;
    for (int i = 0; i < count; i++)
        readable[i] = fds[i] >= 0 && FD_ISSET(fds[i], &set);
}

void WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

bool TerminalSize(int fd, int *columns, int *rows)
{
    struct winsize size;
    if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    *columns = size.ws_col;
    *rows = size.ws_row;
    return true;
}

bool KeyDecoder::Next(Key *key, bool lone)
{
    for (;;) {
        if (pending_.empty())
            return false;
        const unsigned char c = (unsigned char)pending_[0];
        auto take = [&](size_t count, Key::Kind kind, const std::string &text) {
            pending_.erase(0, count);
            *key = Key{kind, text};
            return true;
        };
        if (c == 0x1B) {
            if (pending_.size() == 1)
                return lone ? take(1, Key::kEscape, "") : false;
            const char second = pending_[1];
            if (second != '[' && second != 'O') {
                if (second >= 0x20 && second <= 0x7E)
                    return take(2, Key::kAlt, std::string(1, second));
                return take(1, Key::kEscape, "");
            }
            // CSI: parameter bytes, then one final byte; SS3: one final byte.
            size_t end = 2;
            if (second == '[')
                while (end < pending_.size() && pending_[end] >= 0x20 && pending_[end] <= 0x3F)
                    end++;
            if (end >= pending_.size()) {
                if (!lone)
                    return false;
                if (second == 'O' && pending_.size() == 2)
                    return take(2, Key::kAlt, "O");
                pending_.clear();
                return false;
            }
            const char final = pending_[end];
            const std::string parameters = pending_.substr(2, end - 2);
            pending_.erase(0, end + 1);
            switch (final) {
            case 'A': *key = Key{Key::kUp, ""}; return true;
            case 'B': *key = Key{Key::kDown, ""}; return true;
            case 'C': *key = Key{Key::kRight, ""}; return true;
            case 'D': *key = Key{Key::kLeft, ""}; return true;
            case 'H': *key = Key{Key::kHome, ""}; return true;
            case 'F': *key = Key{Key::kEnd, ""}; return true;
            case 'Z': *key = Key{Key::kBackTab, ""}; return true;
            case '~':
                if (parameters == "1" || parameters == "7") { *key = Key{Key::kHome, ""}; return true; }
                if (parameters == "4" || parameters == "8") { *key = Key{Key::kEnd, ""}; return true; }
                if (parameters == "3") { *key = Key{Key::kDelete, ""}; return true; }
                break;
            }
            continue; // a sequence this front end has no use for
        }
        switch (c) {
        case '\r': case '\n': return take(1, Key::kEnter, "");
        case '\t': return take(1, Key::kTab, "");
        case 0x7F: case 0x08: return take(1, Key::kBackspace, "");
        case 0x01: return take(1, Key::kHome, "");
        case 0x05: return take(1, Key::kEnd, "");
        case 0x02: return take(1, Key::kLeft, "");
        case 0x06: return take(1, Key::kRight, "");
        case 0x04: return take(1, Key::kDelete, "");
        case 0x15: return take(1, Key::kClearLine, "");
        case 0x0B: return take(1, Key::kKillToEnd, "");
        case 0x0C: return take(1, Key::kRedraw, "");
        }
        if (c < 0x20) {
            pending_.erase(0, 1);
            continue;
        }
        const size_t length = Utf8Length(c);
        if (pending_.size() < length && !lone)
            return false;
        return take(length < pending_.size() ? length : pending_.size(), Key::kText,
                    pending_.substr(0, length));
    }
}
