// frontend/main.cpp: parcelon-restore, the terminal front end: reads the command line, runs
// the set's own restore program over the native stand-in in the set's folder, and hands
// the terminal to the interactive, the unattended or the check face.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "frontend/terminal.h"
#include "frontend/text.h"
#include "format/recovery.h"
#include "restore/load.h"
#include "restore/without.h"

namespace {

const int kStatusWrongCommandLine = kExitWrongCommandLine;
const int kStatusNotRestored = kExitNotRestored;

const char kHelp[] =
    "Usage: parcelon-restore [options] SET.exe\n"
    "       parcelon-restore [options] SET.d00   (or a piece file: without SET.exe)\n"
    "\n"
    "Restores the file held in a self-restoring split set: SET.exe (the restore program\n"
    "for Windows with the first piece appended) and the piece files SET.d02, SET.d03, ...\n"
    "in the same folder. The set's restore program itself runs here, with the same steps\n"
    "and checks as on Windows: each piece's CRC-16 and set identifier, the CRC-64 of its\n"
    "data where its header states one (a piece failing it counts as failing its check),\n"
    "the questions it asks, and the stored time stamp given to the restored file. The\n"
    "set's files are only read. The proposed destination is the stored file name (shown\n"
    "and created in UTF-8) in the folder of SET.exe.\n"
    "\n"
    "With a recovery file SET.d00 beside them (parcelon-split --recovery), every piece's\n"
    "data are also checked against their CRC-64, and one piece that is missing or cannot\n"
    "be used whole (no marker, another set's, cut short, or failing a check) can be\n"
    "rebuilt: the program asks, leaves its range for later and rebuilds it after the last\n"
    "piece from the recovery file and the other pieces' data in the restored file. With R\n"
    "recovery files (SET.d00, SET.d00.02, ...: parcelon-split --recovery=R), R pieces can.\n"
    "A recovery file of another set, or a damaged one, is ignored. A set whose SET.exe is\n"
    "missing is restored from SET.d00 given in its place (or SET.d00.02 ..., or a piece file):\n"
    "the name, size and time stamp come from the recovery file, and the first piece is\n"
    "rebuilt from it without a question, so no other piece may be missing or unusable\n"
    "but for one per further recovery file.\n"
    "\n"
    "In a terminal (standard input and output both terminals) the restore dialog is\n"
    "drawn as text. Keys:\n"
    "  X, Alt+X             Start: restore the file\n"
    "  C, Alt+C             Close; while a restore runs, Cancel it\n"
    "  R, Alt+R             Browse: type the destination on a line of its own (the\n"
    "                       split file's type is shown; Enter on an empty line or Esc\n"
    "                       cancels)\n"
    "  Tab, Shift+Tab       move between Start, Close, the destination field and Browse;\n"
    "                       arrows move between the buttons\n"
    "  Enter, Space         press the focused button; Enter in the field presses Start\n"
    "  in the field         type to change the destination; Left, Right, Home, End,\n"
    "                       Backspace, Delete, Ctrl+U (clear), Ctrl+K (cut to the end)\n"
    "  Ctrl+L               draw the screen again\n"
    "  Ctrl+C               cancel a running restore and close; twice: quit at once\n"
    "The program's questions appear below the dialog: press a button's letter (Y/N,\n"
    "O/C, R/C) or choose with the arrow keys and press Enter. A relative destination,\n"
    "typed or given with -o, starts in the current folder; ~/ is the home folder.\n"
    "\n"
    "Unattended (standard input is not a terminal, or --yes or --no is given) the\n"
    "restore starts at once and every question gets a fixed answer:\n"
    "  the destination exists: overwrite it?          No; Yes under --yes\n"
    "  too little room for the file: go on?           No; Yes under --yes\n"
    "  a piece fails its check, or belongs to another\n"
    "  set: go on all the same?                       No; Yes under --yes\n"
    "  a piece is missing or cannot be used: rebuild\n"
    "  it from the recovery file?                     No; Yes under --yes\n"
    "  a piece file cannot be opened                  Cancel\n"
    "  a piece file holds no piece                    Cancel\n"
    "  a notice                                       OK\n"
    "Each question is written to standard error (UTF-8) with its answer; a progress line\n"
    "too when standard error is a terminal. A destination that is one of the set's own\n"
    "files is never overwritten, whatever the answer.\n"
    "\n"
    "Checking (--check or -t) reads the whole set as a restore does, with the same piece\n"
    "discovery, header reads and CRC-16 checks, but the data go nowhere: no file is\n"
    "created or written, not even a temporary one. One line per piece gives its file name,\n"
    "its data bytes, whether its check value is good or bad and whether its set\n"
    "identifier is the set's (same) or another set's (foreign); a last line gives the\n"
    "verdict. Nothing is asked, even in a terminal: a bad check value or a piece of\n"
    "another set is noted and the later pieces are read on; a missing piece, a file that\n"
    "holds no piece or a piece that ends early ends the check. With a recovery file, the\n"
    "CRC-64 of every piece is checked too, the recovery file has a line of its own (its\n"
    "parity data read through their check), and the first piece that is missing or cannot\n"
    "be used is left to it, so that the later pieces are read on.\n"
    "\n"
    "Options:\n"
    "  -o, --output PATH    restore into PATH instead of the proposed destination; a\n"
    "                       relative PATH starts in the current folder\n"
    "      --yes            run unattended, answering Yes as above\n"
    "      --no             run unattended, answering No (the default without a terminal)\n"
    "  -t, --check          check the set without restoring it; takes no -o, --yes, --no\n"
    "  -h, --help           show this text\n"
    "      --version        show the program's version\n"
    "\n"
    "Exit status:\n"
    "  0   the file was restored whole and every piece passed every check it has (or\n"
    "      was rebuilt from the recovery file and its range verified)\n"
    "  1   the file was not restored: stopped by an answer, cancelled, a damaged or\n"
    "      incomplete set, a failed write, or closed before a restore finished\n"
    "  3   the restore finished, but the file holds data known to be wrong: the last\n"
    "      piece failed its check, or a piece that failed its check or belongs to\n"
    "      another set was taken in by a Yes (typed, or given by --yes)\n"
    "  64  a wrong command line; nothing was read\n"
    "With --check: 0 when every piece is present and sound and their data add up to the\n"
    "split file's size (sound), 2 when the pieces missing or damaged are no more than\n"
    "the usable recovery files and they would rebuild them, every other piece and the\n"
    "parity data they need being sound (repairable), 1 otherwise (damaged); 64 on a\n"
    "wrong command line.\n";

struct Options {
    std::string set;
    std::string output;
    bool hasOutput = false;
    bool yes = false;
    bool no = false;
    bool check = false;
    bool help = false;
    bool version = false;
};

int WrongCommandLine(const std::string &why)
{
    fprintf(stderr, "parcelon-restore: %s\nTry 'parcelon-restore --help'.\n", why.c_str());
    return kStatusWrongCommandLine;
}

// Reads the command line; -1 when it is sound, else the exit status.
int ReadOptions(int argc, char **argv, Options *options)
{
    std::vector<std::string> sets;
    bool optionsEnd = false;
    for (int i = 1; i < argc; i++) {
        const std::string argument = argv[i];
        if (optionsEnd || argument.empty() || argument[0] != '-' || argument == "-") {
            sets.push_back(argument);
        } else if (argument == "--") {
            optionsEnd = true;
        } else if (argument == "-h" || argument == "--help") {
            options->help = true;
        } else if (argument == "--version") {
            options->version = true;
        } else if (argument == "--yes") {
            options->yes = true;
        } else if (argument == "--no") {
            options->no = true;
        } else if (argument == "-t" || argument == "--check") {
            options->check = true;
        } else if (argument == "-o" || argument == "--output" || argument.compare(0, 9, "--output=") == 0) {
            if (options->hasOutput)
                return WrongCommandLine("-o is given twice");
            if (argument[1] != '-' || argument.size() == 8) {
                if (++i >= argc)
                    return WrongCommandLine(argument + " needs a path");
                options->output = argv[i];
            } else {
                options->output = argument.substr(9);
            }
            options->hasOutput = true;
        } else {
            return WrongCommandLine("unknown option " + argument);
        }
    }
    if (options->help || options->version)
        return -1;
    if (options->yes && options->no)
        return WrongCommandLine("--yes and --no exclude each other");
    if (options->check && (options->yes || options->no || options->hasOutput))
        return WrongCommandLine("--check writes nothing and asks nothing: it takes no -o, --yes or --no");
    if (sets.size() != 1)
        return WrongCommandLine(sets.empty() ? "which set? Name its .exe file" : "one set at a time");
    if (options->hasOutput && options->output.empty())
        return WrongCommandLine("-o needs a path");
    options->set = sets.front();
    return -1;
}

std::string CurrentFolder(void)
{
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == NULL) {
        if (buffer.size() > (1u << 20))
            return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// An absolute path without "." parts and doubled slashes; ".." is kept, as symbolic links
// may stand before it.
std::string Absolute(const std::string &path, const std::string &base)
{
    const std::string whole = path[0] == '/' ? path : base + "/" + path;
    std::string out;
    size_t start = 0;
    while (start <= whole.size()) {
        size_t end = whole.find('/', start);
        if (end == std::string::npos)
            end = whole.size();
        const std::string part = whole.substr(start, end - start);
        if (!part.empty() && part != ".")
            out += "/" + part;
        start = end + 1;
    }
    return out.empty() ? "/" : out;
}

// A piece file or a recovery file given for the set names the set's executable (its name
// up to the piece's "." and "exe"), found whatever its case. Where that is missing, the
// set's first recovery file there is stands in for it, and the set is restored without
// it. FALSE when neither is there.
bool FindExecutable(Session *session)
{
    const std::string &name = session->setName;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return true;
    // A later recovery file, NAME.d00.02 ..., names its set as NAME.d00 does.
    if (dot >= 4 && IsRecoveryRowName(name, name.substr(0, dot - 3)))
        dot -= 4;
    else if (!IsPieceName(name, name.substr(0, dot + 1)))
        return true;
    const std::string base = session->setName.substr(0, dot + 1);
    const std::string executable = SetFileNamed(session->setFolder, base + "exe");
    if (!executable.empty()) {
        session->setName = executable;
        session->setPath = session->setFolder + (session->setFolder == "/" ? "" : "/") + executable;
        return true;
    }
    // Any of the recovery files stands in for it: the first there is.
    for (int row = 1; row <= kMaxRecoveryRows && session->recovery.empty(); row++) {
        char extension[16];
        RecoveryRowExtension(row, extension);
        session->recovery = SetFileNamed(session->setFolder, base + extension);
    }
    session->setName = base + "exe";
    session->setPath = session->setFolder + (session->setFolder == "/" ? "" : "/") + session->setName;
    return !session->recovery.empty();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int status = ReadOptions(argc, argv, &options);
    if (status >= 0)
        return status;
    if (options.help) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        printf("parcelon-restore %s\n", PARCELON_VERSION);
        return 0;
    }

    Session session;
    session.startFolder = CurrentFolder();
    if (session.startFolder.empty()) {
        perror("parcelon-restore: the current folder");
        return kStatusNotRestored;
    }
    session.setPath = Absolute(options.set, session.startFolder);
    struct stat info;
    if (stat(session.setPath.c_str(), &info) != 0)
        return WrongCommandLine(options.set + ": " + strerror(errno));
    if (!S_ISREG(info.st_mode))
        return WrongCommandLine(options.set + ": not a file (the set's .exe is wanted)");
    const size_t slash = session.setPath.rfind('/');
    session.setFolder = slash == 0 ? "/" : session.setPath.substr(0, slash);
    session.setName = session.setPath.substr(slash + 1);
    if (!FindExecutable(&session))
        return WrongCommandLine(options.set + ": neither the set's executable nor its recovery file is beside it");
    if (options.hasOutput) {
        session.output = Absolute(ResolveDestination(options.output, session), session.startFolder);
        if (session.output.size() > kMaxDestination)
            return WrongCommandLine("-o: the path is longer than " + std::to_string(kMaxDestination) + " bytes");
    }
    session.policy = options.yes ? Session::kAnswerYes : options.no ? Session::kAnswerNo : Session::kAskUser;
    // The program finds its pieces beside its own path; given as a name in the current
    // folder, that path is never cut at the program's 259 bytes and holds no folder names
    // that the program would read as code page 932.
    if (chdir(session.setFolder.c_str()) != 0) {
        perror(("parcelon-restore: " + session.setFolder).c_str());
        return kStatusNotRestored;
    }
    if (!OpenTextConverter())
        fputs("parcelon-restore: no code page 932 converter: Japanese texts are shown as '?'\n", stderr);

    if (!session.recovery.empty()) {
        const int loaded = LoadFromRecovery(session.recovery.c_str(), session.setName.c_str());
        if (loaded != kLoaded) {
            fprintf(stderr, "parcelon-restore: %s: %s\n", session.recovery.c_str(),
                    loaded == kMsgDamaged ? "no sound recovery file" : "cannot be opened");
            return kStatusNotRestored;
        }
    }
    if (options.check)
        PrepareCheck(&session);
    const bool interactive = !options.check && session.policy == Session::kAskUser && isatty(STDIN_FILENO) &&
                             isatty(STDOUT_FILENO);
    const int signalFd = InstallSignalPipe();
    const int programFd = StartProgram(session.setName.c_str());
    if (signalFd < 0 || programFd < 0) {
        perror("parcelon-restore");
        return kStatusNotRestored;
    }
    const int result = options.check  ? RunCheck(session, programFd, signalFd)
                       : interactive ? RunInteractive(session, programFd, signalFd)
                                     : RunUnattended(session, programFd, signalFd);
    EndProgram();
    return result;
}
