// tests/chooser_test.cpp: the Browse button's Save dialog: the record and filter it is given,
// the pre-filled name, and what lands in the destination field after each kind of answer.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include "resource.h"
#include "support/program.h"
#include "ui/state.h"

namespace {

// One answer of the Save dialog: a chosen path, or a failure with its extended error.
struct SaveAnswer {
    const char *path; // NULL: failed
    DWORD error;
};

BOOL Answer(void *context, OPENFILENAMEA *ofn, DWORD *error)
{
    std::deque<SaveAnswer> *answers = (std::deque<SaveAnswer> *)context;
    SaveAnswer answer = answers->empty() ? SaveAnswer{NULL, 0} : answers->front();
    if (!answers->empty())
        answers->pop_front();
    if (answer.path == NULL) {
        *error = answer.error;
        return FALSE;
    }
    snprintf(ofn->lpstrFile, ofn->nMaxFile, "%s", answer.path);
    return TRUE;
}

const DWORD kRejected = FNERR_INVALIDFILENAME;
// A text with the zero bytes inside it.
template <size_t N>
std::string WithZeros(const char (&text)[N])
{
    return std::string(text, N - 1);
}
const std::string kTarFilter = WithZeros("分割元ファイル (*.tar)\0*.tar\0すべてのファイル (*.*)\0*.*\0");
const std::string kAllFilter = WithZeros("すべてのファイル (*.*)\0*.*\0");

TEST(Chooser, AnswersAndRecord)
{
    // "{folder}" stands for an existing folder of the test, which the field holds at first
    // unless the case says otherwise.
    const struct {
        const char *label;
        const char *storedName;
        const char *field;
        std::vector<SaveAnswer> answers;
        std::vector<std::string> opened; // the name the dialog opened with, each time
        const char *after;               // the field afterwards
        const char *filter;
    } cases[] = {
        {"chosen path", "Backup.TAR", "/x/old.tar", {{"/y/new.tar", 0}}, {"/x/old.tar"}, "/y/new.tar", "tar"},
        {"cancel", "Backup.TAR", "/x/old.tar", {{NULL, 0}}, {"/x/old.tar"}, "/x/old.tar", "tar"},
        {"name without a dot: all files only", "README", "/x/README", {{NULL, 0}}, {"/x/README"}, "/x/README", "all"},
        {"rejected name: reopened empty from its folder", "Backup.TAR", "{folder}", {{NULL, kRejected}, {"/y/new.tar", 0}},
         {"{folder}", ""}, "/y/new.tar", "tar"},
        {"rejected name, then cancel", "Backup.TAR", "{folder}", {{NULL, kRejected}, {NULL, 0}}, {"{folder}", ""},
         "{folder}", "tar"},
        {"rejected twice: no third try", "Backup.TAR", "{folder}", {{NULL, kRejected}, {NULL, kRejected}, {"/y/new.tar", 0}},
         {"{folder}", ""}, "{folder}", "tar"},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Scene s;
        std::string folder = s.dir.MakeFolder("Folder");
        auto expand = [&](const std::string &text) { return text == "{folder}" ? folder : text; };
        s.Split("3000", {"--name", c.storedName});
        s.OpenDialog();
        s.Load();
        SetDlgItemTextA(g_dialog, IDC_DESTINATION, expand(c.field).c_str());
        std::deque<SaveAnswer> answers(c.answers.begin(), c.answers.end());
        ShimSetSaveDialogHandler(Answer, &answers);

        memset(g_textBuffer, 'x', sizeof g_textBuffer); // the filter's closing zero must be written
        SendMessageA(g_dialog, WM_COMMAND, IDC_BROWSE, 0);

        std::vector<ShimSaveDialogCall> calls = ShimSaveDialogCalls();
        ASSERT_EQ(calls.size(), c.opened.size());
        for (size_t i = 0; i < calls.size(); i++) {
            const OPENFILENAMEA &r = calls[i].record;
            EXPECT_EQ(calls[i].fileName, expand(c.opened[i]));
            std::string filter = std::string(c.filter) == "tar" ? kTarFilter : kAllFilter;
            EXPECT_EQ(calls[i].filter, filter);
            EXPECT_EQ(std::string(r.lpstrFilter, filter.size() + 1), filter + '\0');
            EXPECT_EQ(r.lStructSize, 76u);
            EXPECT_EQ(r.hwndOwner, g_dialog);
            EXPECT_EQ(r.hInstance, g_instance);
            EXPECT_EQ(r.nFilterIndex, 0u);
            EXPECT_EQ(r.nMaxFile, 260u);
            EXPECT_EQ(r.Flags, 0x80804u);
            EXPECT_EQ(r.lpstrDefExt, nullptr);
            EXPECT_EQ(r.lpstrCustomFilter, nullptr);
            EXPECT_EQ(calls[i].title, "復元先ファイル名を指定");
            EXPECT_EQ(calls[i].initialDir, "");
        }
        EXPECT_EQ(s.Text(IDC_DESTINATION), expand(c.after));
        char now[4096];
        ASSERT_NE(getcwd(now, sizeof now), nullptr);
        EXPECT_EQ(std::string(now), c.opened.size() > 1 ? folder : std::string(cwd)) << "the current folder";
        ASSERT_EQ(chdir(cwd), 0);
    }
}

} // namespace
