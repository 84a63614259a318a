// frontend/check.cpp: the check face (--check): the set's own restore program reads every
// piece as a restore does, into the stand-in's write sink, so that nothing is written
// anywhere; each question it asks is a finding about the piece being read, answered so that
// the later pieces are read too wherever the program can go on; then one line per piece and
// a verdict. With a recovery file, its line as well, and a third verdict: repairable.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "frontend/terminal.h"
#include "frontend/text.h"
#include "restore/mark.h"
#include "restore/messages.h"
#include "restore/recovery.h"
#include "restore/run.h"
#include "shim.h"
#include "ui/state.h"

namespace {

// The destination the check gives the program, which the stand-in's write sink takes. It
// lies inside /dev/null, where no file can be created, so that even a path the sink failed
// to catch could never lead to a file being written.
const char kCheckSink[] = "/dev/null/parcelon-check";

// Exit statuses of the check.
const int kCheckSound = 0, kCheckDamaged = 1, kCheckRepairable = 2;

enum FindingKind { kBadCheckValue, kForeign, kMissing, kNoPiece, kTruncated, kStartUp, kRebuild, kRebuildFailed, kOther };

// One question of the program, taken as what it says about the piece being read.
struct Finding {
    FindingKind kind;
    size_t open;       // the entry of the stand-in's log of opens it came after; npos: none
    std::string text;  // the program's text, printable, on one line
};

// One piece as the engine read it: the opens of one file with no data between them (the
// start-up load's open of the executable and the worker's) count as one.
struct Piece {
    std::string name;
    bool opened = true;
    long long start = 0; // what the sink had taken when the piece was opened
    long long bytes = 0; // its data bytes the engine read
    bool badCheckValue = false, foreign = false, missing = false, noPiece = false, truncated = false;
    bool rebuild = false; // offered to the recovery file, which would rebuild it
    std::string startUp; // why the start-up load refused the executable, if it did
};

bool StartsWith(const std::string &text, const char *head)
{
    return text.compare(0, std::char_traits<char>::length(head), head) == 0;
}

// What a question says, and the answer that lets the check read on: Yes past a bad check
// value or a piece of another set, so that the later pieces are checked too; Cancel for a
// missing piece or a file without a piece (nothing after it can be read); OK for a notice.
FindingKind Classify(const Question &question, bool startPressed, int *answer)
{
    *answer = RefusingAnswer(question.type);
    if (question.saveDialog)
        return kOther;
    if (question.fromUiThread)
        return startPressed ? kOther : kStartUp;
    switch (question.message) {
    // The recovery file is offered the first piece that is lost or cannot be used: Yes, so
    // that the check reads on. It cannot rebuild into the sink, which keeps nothing, so its
    // failure after that says nothing of the set; the check looks at the parity data itself.
    case kMsgRebuildMissing:
    case kMsgRebuildUnusable:
        *answer = IDYES;
        return kRebuild;
    case kMsgRebuildFailed:
        return kRebuildFailed;
    case kMsgBadCheck:
        *answer = IDYES;
        return kBadCheckValue;
    case kMsgBadLastCheck:
        return kBadCheckValue;
    case kMsgForeign:
        *answer = IDYES;
        return kForeign;
    case kMsgNextFile:
        return kMissing;
    case kMsgNoMarker:
        return kNoPiece;
    case kMsgCutShort:
        return kTruncated;
    default:
        return kOther;
    }
}

std::string OneLine(const std::string &text)
{
    std::string line;
    for (char c : text)
        line += c == '\n' ? ' ' : c;
    return line;
}

// The split file's size from the grouped figure of the information text; -1 unknown.
long long TotalOf(const std::string &grouped)
{
    std::string digits;
    for (char c : grouped)
        if (c != ',')
            digits += c;
    return digits.empty() ? -1 : strtoll(digits.c_str(), NULL, 10);
}

std::vector<Piece> PiecesOf(const std::vector<ShimSourceOpen> &opens, const std::vector<Finding> &findings,
                            long long sinkBytes, const std::vector<std::string> &recoveryPaths)
{
    std::vector<Piece> pieces;
    std::vector<size_t> pieceOfOpen;
    for (const ShimSourceOpen &open : opens) {
        // Nor are the recovery files.
        if (std::find(recoveryPaths.begin(), recoveryPaths.end(), open.path) != recoveryPaths.end()) {
            pieceOfOpen.push_back(pieces.empty() ? std::string::npos : pieces.size() - 1);
            continue;
        }
        // The program reads the executable's download mark as well: that is no piece, and
        // what is found after it belongs to the piece before.
        const size_t mark = strlen(kZoneStream);
        if (open.path.size() > mark && open.path.compare(open.path.size() - mark, mark, kZoneStream) == 0) {
            pieceOfOpen.push_back(pieces.empty() ? std::string::npos : pieces.size() - 1);
            continue;
        }
        const bool again = !pieces.empty() && pieces.back().opened && open.opened && pieces.back().name == open.path &&
                           pieces.back().start == open.sinkBytes;
        if (!again) {
            Piece piece;
            piece.name = open.path;
            piece.opened = open.opened;
            piece.missing = !open.opened;
            piece.start = open.sinkBytes;
            pieces.push_back(piece);
        }
        pieceOfOpen.push_back(pieces.size() - 1);
    }
    for (size_t i = 0; i < pieces.size(); i++)
        pieces[i].bytes = (i + 1 < pieces.size() ? pieces[i + 1].start : sinkBytes) - pieces[i].start;
    for (const Finding &finding : findings) {
        if (finding.open >= pieceOfOpen.size() || pieceOfOpen[finding.open] == std::string::npos)
            continue;
        Piece &piece = pieces[pieceOfOpen[finding.open]];
        switch (finding.kind) {
        case kBadCheckValue: piece.badCheckValue = true; break;
        case kForeign: piece.foreign = true; break;
        case kMissing: piece.missing = true; break;
        case kNoPiece: piece.noPiece = true; break;
        case kTruncated: piece.truncated = true; break;
        case kStartUp: piece.startUp = finding.text; break;
        case kRebuild: piece.rebuild = true; break;
        case kRebuildFailed:
        case kOther: break;
        }
    }
    return pieces;
}

// A piece's line; the check value of the last piece read is compared only when the run
// finished (every earlier one was compared before the next piece was opened).
std::string PieceLine(const Piece &piece, bool last, bool finished, int nameColumns)
{
    const std::string name = Printable(piece.name);
    std::string line = "  " + name + std::string((size_t)(nameColumns - TextWidth(name)), ' ') + "  ";
    if (!piece.startUp.empty())
        return line + "refused at start-up: " + piece.startUp;
    if (piece.missing)
        return line + "missing (cannot be opened)" + (piece.rebuild ? "; the recovery file would rebuild it" : "");
    if (piece.rebuild)
        return line + "cannot be used whole (its marker, header or a check fails); the recovery file would rebuild it";
    if (piece.noPiece)
        return line + "holds no piece (no piece marker found)";
    line += Grouped(piece.bytes) + " data bytes  check value ";
    if (piece.truncated)
        line += "not reached: the file ends early";
    else if (last && !finished)
        line += "not reached";
    else
        line += piece.badCheckValue ? "bad" : "good";
    return line + "  set identifier " + (piece.foreign ? "foreign" : "same");
}

// The last line: sound, or what is wrong.
std::string Verdict(const std::vector<Piece> &pieces, const std::vector<Finding> &findings, bool finished,
                    bool interrupted, long long sinkBytes, long long total)
{
    std::vector<std::string> faults;
    for (const Piece &piece : pieces) {
        const std::string name = Printable(piece.name);
        if (!piece.startUp.empty()) faults.push_back(name + " is refused at start-up");
        else if (piece.missing) faults.push_back(name + " is missing");
        if (piece.noPiece) faults.push_back(name + " holds no piece");
        if (piece.truncated) faults.push_back(name + " ends early");
        if (piece.badCheckValue) faults.push_back(name + " fails its check value");
        if (piece.foreign) faults.push_back(name + " belongs to another set");
        if (piece.rebuild && !piece.missing) faults.push_back(name + " cannot be used whole");
    }
    for (const Finding &finding : findings)
        if (finding.kind != kRebuildFailed && (finding.kind == kOther || finding.open == std::string::npos))
            faults.push_back("the program stopped: " + finding.text);
    if (interrupted)
        faults.push_back("interrupted");
    if (faults.empty() && !finished)
        faults.push_back("the check did not finish");
    if (faults.empty() && (total < 0 || sinkBytes != total))
        faults.push_back("the data do not add up to the total size");
    const std::string bytes = Grouped(sinkBytes) + (total < 0 ? std::string() : " of " + Grouped(total)) + " bytes";
    if (faults.empty())
        return "sound: " + std::to_string(pieces.size()) + (pieces.size() == 1 ? " piece" : " pieces") +
               ", every check value good and every set identifier the same; " + bytes;
    std::string line = "not sound: ";
    for (size_t i = 0; i < faults.size(); i++)
        line += (i ? "; " : "") + faults[i];
    return line + " (" + bytes + " read)";
}

// What the check finds of one of the set's recovery files.
struct RecoveryCheck {
    int row = 0;             // 1 for NAME.d00
    bool usable = false;     // the program takes it: a sound header of this set
    bool parityGood = false; // its parity data match their check
    std::string path;
    LONG pieces = 0;
};

// The recovery files there are (none when ownPath is empty), opened as the program opens
// them, each usable one's parity data read through their check (the rebuild cannot run
// into the sink, so the check reads them itself). In row order.
std::vector<RecoveryCheck> CheckRecoveryFiles(const std::vector<std::string> &paths)
{
    std::vector<RecoveryCheck> checks;
    if (paths.empty())
        return checks;
    std::unique_ptr<RestoreRun> run(new RestoreRun);
    ResetRecovery(run.get());
    OpenRecovery(run.get());
    const RunRecovery &r = run->recovery;
    for (int row = 1; row <= (int)paths.size(); row++) {
        RecoveryCheck check;
        check.row = row;
        check.path = paths[(size_t)row - 1];
        // Found as the program finds it: an open for reading takes a name that differs only
        // in case (Data.D00) as well.
        const HANDLE file = CreateFileA(check.path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, NULL);
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            continue;
        const HANDLE taken = r.rows[row - 1];
        if (taken != INVALID_HANDLE_VALUE) {
            check.usable = true;
            check.pieces = r.header.pieceCount;
            std::vector<BYTE> block(1 << 20);
            Crc64 crc = 0;
            long long left = RecoveryRowParityBytes(r.header.parityLength, row);
            SeekRecoveryParity(taken, 0);
            while (left > 0) {
                DWORD want = (DWORD)std::min<long long>(left, (long long)block.size()), got = 0;
                if (!ReadFile(taken, block.data(), want, &got, NULL) || got != want)
                    break;
                crc = Crc64Compute(crc, block.data(), got);
                left -= got;
            }
            check.parityGood = left == 0 && crc == r.parityCrcs[row - 1];
        }
        checks.push_back(check);
    }
    CloseRecovery(run.get());
    return checks;
}

std::string RecoveryLine(const RecoveryCheck &check, int nameColumns)
{
    const std::string name = Printable(check.path);
    std::string line = "  " + name + std::string((size_t)std::max(0, nameColumns - TextWidth(name)), ' ') + "  ";
    if (!check.usable)
        return line + "recovery file not used: damaged, or of another set";
    return line + "recovery file of " + std::to_string(check.pieces) + " pieces, parity data " +
           (check.parityGood ? "good" : "bad") + "; every piece's CRC-64 checked as well";
}

// With usable recovery files: the pieces they would rebuild, when those are the only faults
// and the recovery files the program would read for them (the first usable ones, one per
// piece) are sound; else empty.
std::string RepairableVerdict(const std::vector<Piece> &pieces, const std::vector<Finding> &findings, bool interrupted,
                              const std::vector<RecoveryCheck> &recovery)
{
    if (interrupted)
        return std::string();
    std::vector<const Piece *> rebuilt;
    for (const Piece &piece : pieces) {
        const bool otherFault = !piece.startUp.empty() || piece.noPiece || piece.truncated || piece.badCheckValue ||
                                piece.foreign || (piece.missing && !piece.rebuild);
        if (otherFault)
            return std::string();
        if (piece.rebuild)
            rebuilt.push_back(&piece);
    }
    for (const Finding &finding : findings)
        if (finding.kind == kOther)
            return std::string();
    if (rebuilt.empty())
        return std::string();
    std::string names, rows;
    size_t used = 0;
    for (const RecoveryCheck &check : recovery) {
        if (!check.usable || used == rebuilt.size())
            continue;
        if (!check.parityGood)
            return std::string();
        rows += (used ? ", " : "") + Printable(check.path);
        used++;
    }
    if (used < rebuilt.size())
        return std::string();
    for (size_t i = 0; i < rebuilt.size(); i++)
        names += (i ? ", " : "") + Printable(rebuilt[i]->name);
    return "repairable: " + names + " would be rebuilt from the recovery file" + (used > 1 ? "s " : " ") + rows +
           "; every other piece and the parity data are sound";
}

// Each question taken as a finding about the piece the program was reading, answered so
// that the check reads on wherever it can.
class CheckFace : public UnattendedFace {
public:
    explicit CheckFace(const Session &session) : session_(session) {}

    int Answer(const Question &question, const DialogView &view, bool started) override
    {
        // The asking thread waits for the answer, so the log of opens stands still.
        const size_t opens = ShimSourceOpens().size();
        Finding finding;
        int answer = IDCANCEL;
        finding.kind = Classify(question, started, &answer);
        finding.open = opens > 0 ? opens - 1 : std::string::npos;
        finding.text = OneLine(Printable(Utf8FromProgram(question.text, PathsInTexts(view.destination, session_))));
        findings.push_back(finding);
        return answer;
    }

    void Interrupted() override
    {
        WriteAll(STDERR_FILENO, "parcelon-restore: interrupted; stopping (again to quit at once)\n");
    }

    std::vector<Finding> findings;

private:
    const Session &session_;
};

} // namespace

void PrepareCheck(Session *session)
{
    session->output = kCheckSink;
    ShimSetWriteSink(kCheckSink);
}

int RunCheck(const Session &session, int programFd, int signalFd)
{
    CheckFace face(session);
    const UnattendedRun run = DriveUnattended(session, programFd, signalFd, &face);
    const long long sinkBytes = ShimSinkBytes();
    std::vector<std::string> recoveryPaths;
    if (g_restoreInfoLoaded) {
        char path[kShortPathSize + 8];
        for (int row = 1; row <= kMaxRecoveryRows; row++) {
            MakeRecoveryRowName(g_restoreInfo.ownPath, row, path);
            recoveryPaths.push_back(path);
        }
    }
    std::vector<Piece> pieces = PiecesOf(ShimSourceOpens(), face.findings, sinkBytes, recoveryPaths);
    // Without the executable its piece is never opened: it is left to the recovery file at once.
    if (g_restoreInfoLoaded && g_restoreInfo.firstPieceMissing) {
        Piece first;
        first.name = g_restoreInfo.ownPath;
        first.opened = false;
        first.missing = first.rebuild = true;
        pieces.insert(pieces.begin(), first);
    }
    const std::vector<RecoveryCheck> recovery = CheckRecoveryFiles(recoveryPaths);
    int nameColumns = 0;
    for (const RecoveryCheck &check : recovery)
        nameColumns = std::max(nameColumns, TextWidth(Printable(check.path)));
    for (const Piece &piece : pieces)
        nameColumns = std::max(nameColumns, TextWidth(Printable(piece.name)));
    // A rebuild comes only after the last piece's check value was compared.
    bool lastCompared = run.finished;
    for (const Finding &finding : face.findings)
        lastCompared = lastCompared || finding.kind == kRebuildFailed;
    std::string out;
    for (size_t i = 0; i < pieces.size(); i++)
        out += PieceLine(pieces[i], i + 1 == pieces.size(), lastCompared, nameColumns) + "\n";
    for (const RecoveryCheck &check : recovery)
        out += RecoveryLine(check, nameColumns) + "\n";
    const std::string repairable = RepairableVerdict(pieces, face.findings, run.interrupted, recovery);
    const std::string verdict = !repairable.empty() ? repairable
                                                    : Verdict(pieces, face.findings, run.finished, run.interrupted,
                                                              sinkBytes, TotalOf(run.track.total));
    WriteAll(STDOUT_FILENO, out + verdict + "\n");
    if (!repairable.empty())
        return kCheckRepairable;
    return StartsWith(verdict, "sound:") ? kCheckSound : kCheckDamaged;
}
