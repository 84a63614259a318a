// frontend/session.cpp: what both faces share: the program's texts they recognise, the run
// as the dialog shows it, the destination rules and the message box buttons.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "frontend/frontend.h"
#include "frontend/text.h"
#include "ui/startup.h"

const char kTemplateInfoText[] = "Static";
const char kStatusFinished[] = "復元が終了しました。";
const char kStatusStopped[] = "復元を中止しました。";
const char kDialogCaption[] = "Parcelon 自己復元";
const char kOverwriteCaption[] = "Parcelon  上書き確認";
const char kConfirmCaption[] = "Parcelon 復元確認";

namespace {

// Message box button sets the stand-in declares no names for.
const UINT kButtonsMask = 0xF;
const UINT kAbortRetryIgnore = 2;
const UINT kYesNoCancel = 3;

std::string Join(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The grouped size in the last line of the information text ("サイズ  1,234Bytes").
std::string SizeInInfo(const std::string &info)
{
    const size_t lineStart = info.rfind('\n');
    std::string size;
    for (size_t i = lineStart == std::string::npos ? 0 : lineStart + 1; i < info.size(); i++) {
        const char c = info[i];
        if ((c >= '0' && c <= '9') || (c == ',' && !size.empty()))
            size += c;
        else if (!size.empty())
            break;
    }
    return size;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

// The program finds a piece file by a name that differs from the one it builds only in
// the case of ASCII letters.
static char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool IsPieceName(const std::string &name, const std::string &base)
{
    if (name.size() < base.size() + 3)
        return false;
    for (size_t i = 0; i < base.size(); i++)
        if (UpperAscii(name[i]) != UpperAscii(base[i]))
            return false;
    const std::string digits = name.substr(base.size() + 1);
    if (UpperAscii(name[base.size()]) != 'D' || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    if (digits.size() == 2)
        return digits != "01";
    return digits[0] != '0';
}

bool IsRecoveryRowName(const std::string &name, const std::string &base)
{
    if (name.size() < base.size() + 6 || !IsPieceName(name.substr(0, base.size() + 3), base) ||
        name.compare(base.size() + 1, 2, "00") != 0 || name[base.size() + 3] != '.')
        return false;
    return name.find_first_not_of("0123456789", base.size() + 4) == std::string::npos;
}

void FollowRun(const DialogView &view, const Session &session, RunTrack *track)
{
    if (!view.alive)
        return;
    if (!track->loaded && view.info != kTemplateInfoText) {
        track->loaded = true;
        track->total = SizeInInfo(view.info);
        const std::string destination =
            session.output.empty() ? FixProposal(view.destination, session) : session.output;
        if (destination != view.destination)
            TypeDestination(destination);
    }
    const bool running = track->loaded && !view.start.enabled;
    if (running && !track->running) {
        track->runs++;
        track->destination = view.destination;
        track->written = 0;
    }
    track->running = running;
    struct stat info;
    if (track->runs > 0 && stat(track->destination.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        track->written = (long long)info.st_size;
}

std::string ResolveDestination(const std::string &typed, const Session &session)
{
    if (typed.empty() || typed[0] == '/')
        return typed;
    const char *home = getenv("HOME");
    if ((typed == "~" || typed.compare(0, 2, "~/") == 0) && home && home[0] == '/')
        return home + typed.substr(1);
    std::string rest = typed;
    while (rest.compare(0, 2, "./") == 0)
        rest.erase(0, 2);
    return rest.empty() || rest == "." ? session.startFolder : Join(session.startFolder, rest);
}

std::string FixProposal(const std::string &proposal, const Session &session)
{
    // Without a file title the program proposes its own path, upper-cased: nothing to
    // convert then, only the folder to add.
    std::string ownName = session.setName;
    UpperCaseCp932(&ownName[0]);
    std::string name = proposal, utf8;
    if (proposal != ownName && Utf8FromCp932(proposal, &utf8) && !utf8.empty() && utf8.find('/') == std::string::npos &&
        utf8 != "." && utf8 != "..")
        name = utf8;
    const std::string joined = Join(session.setFolder, name);
    // Longer than the worker reads, the path would be cut; relative, it is the same file.
    return joined.size() <= kMaxDestination ? joined : name;
}

bool IsFileOfSet(const std::string &path, const Session &session)
{
    struct stat target, member;
    if (path.empty() || stat(path.c_str(), &target) != 0)
        return false;
    if (stat(session.setName.c_str(), &member) == 0 && SameFile(target, member))
        return true;
    const size_t dot = session.setName.rfind('.');
    const std::string base = dot == std::string::npos ? session.setName + "." : session.setName.substr(0, dot + 1);
    // Every name of the folder that the program takes for a piece or a recovery file,
    // whatever its case and whichever pieces are missing.
    DIR *listing = opendir(session.setFolder.c_str());
    if (listing == NULL)
        return false;
    bool found = false;
    while (const dirent *entry = readdir(listing)) {
        if ((IsPieceName(entry->d_name, base) || IsRecoveryRowName(entry->d_name, base)) && stat(Join(session.setFolder, entry->d_name).c_str(), &member) == 0 &&
            SameFile(target, member)) {
            found = true;
            break;
        }
    }
    closedir(listing);
    return found;
}

bool IsOverwriteOfSetFile(const Question &question, const std::string &destination, const Session &session)
{
    return !question.saveDialog && question.caption == kOverwriteCaption && IsFileOfSet(destination, session);
}

std::vector<PathInText> PathsInTexts(const std::string &destination, const Session &session)
{
    // Piece files are named from the executable's name up to its last ".".
    const size_t dot = session.setName.rfind('.');
    const std::string base = dot == std::string::npos ? session.setName : session.setName.substr(0, dot + 1);
    return {{destination, destination},
            {session.setName, Join(session.setFolder, session.setName)},
            {base, Join(session.setFolder, base)}};
}

std::vector<BoxButton> ButtonsOf(UINT type)
{
    static const BoxButton ok = {IDOK, 'O', "OK(O)"}, cancel = {IDCANCEL, 'C', "キャンセル(C)"},
                           yes = {IDYES, 'Y', "はい(Y)"}, no = {IDNO, 'N', "いいえ(N)"},
                           retry = {IDRETRY, 'R', "再試行(R)"}, abort = {IDABORT, 'A', "中止(A)"},
                           ignore = {IDIGNORE, 'I', "無視(I)"};
    switch (type & kButtonsMask) {
    case MB_OKCANCEL: return {ok, cancel};
    case kAbortRetryIgnore: return {abort, retry, ignore};
    case kYesNoCancel: return {yes, no, cancel};
    case MB_YESNO: return {yes, no};
    case MB_RETRYCANCEL: return {retry, cancel};
    default: return {ok};
    }
}

int RefusingAnswer(UINT type)
{
    const std::vector<BoxButton> buttons = ButtonsOf(type);
    for (int refusing : {IDCANCEL, IDNO, IDABORT})
        for (const BoxButton &button : buttons)
            if (button.answer == refusing)
                return refusing;
    return buttons.front().answer;
}

const char *AnswerName(int answer)
{
    switch (answer) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "?";
    }
}

std::string SetFileNamed(const std::string &folder, const std::string &name)
{
    DIR *listing = opendir(folder.c_str());
    if (listing == NULL)
        return "";
    std::string found;
    int matches = 0;
    bool exact = false;
    while (const dirent *entry = readdir(listing)) {
        const std::string candidate = entry->d_name;
        bool same = candidate.size() == name.size();
        for (size_t i = 0; same && i < name.size(); i++)
            same = UpperAscii(candidate[i]) == UpperAscii(name[i]);
        if (!same)
            continue;
        matches++;
        if (!exact)
            found = candidate;
        exact = exact || candidate == name;
    }
    closedir(listing);
    // Two names that differ only in case and neither exact: Windows would find neither.
    return exact || matches == 1 ? found : "";
}
