// tests/startup_test.cpp: the start-up load of the executable's own header: the information
// text with the grouped size, the proposed destination, the extension, the stored names it
// refuses, and every failure, each of which closes the dialog.
#include <gtest/gtest.h>

#include <ctype.h>

#include "format/piece.h"
#include "resource.h"
#include "support/program.h"
#include "ui/state.h"

namespace {

// A self-restoring executable's first bytes: the stub, then a first-piece header with this
// total size (the size integer's bytes) and stored name, a time stamp, and some data.
Bytes Executable(const Bytes &totalSize, const std::string &name)
{
    Bytes exe((size_t)kFirstPieceOffset, 'S');
    Bytes length = name.size() < 128 ? Bytes{(unsigned char)name.size()}
                                     : Bytes{(unsigned char)(0x80 | (name.size() - 128) >> 8), (unsigned char)(name.size() - 128)};
    for (const Bytes &part : {BytesOf("-PQ3-"), Bytes{0}, totalSize, Bytes{0, 0, 0, 0, 0x40, 'A', 'B', 1}, length,
                              BytesOf(name), Bytes{3, 6, 0xE8, 0x07, 0x5E, 0xDB, 0xDE, 0x00, 0}, SomeBytes(64, 1)})
        exe.insert(exe.end(), part.begin(), part.end());
    return exe;
}

const Bytes kSize1234567 = {0x00, 0x12, 0xD6, 0x87};

std::string Upper(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

bool ClosePosted()
{
    for (const MSG &msg : ShimPostedMessages())
        if (msg.hwnd == g_dialog && msg.message == WM_CLOSE)
            return true;
    return false;
}

struct NameCase {
    const char *label;
    std::string name;           // stored
    const char *extension;      // NULL: refused as a damaged file
    const char *folder = "Work";
    const char *shownFolder = "WORK"; // as the proposal shows it
    bool hideExtension = false;
};

const NameCase kNames[] = {
    {"title shown", "Report.doc", "doc"},
    {"title hidden", "Report.doc", "doc", "Work", "WORK", true},
    {"folder named like the executable", "Report.doc", "doc", "Data", "DATA", true},
    {"double-byte folder left as it is", "Report.doc", "doc", "ヂ表x", "ヂ表X"},
    {"name without a dot", "README", ""},
    {"extension lower-cased", "Backup.TAR", "tar"},
    {"hyou", "表.txt", "txt"},
    {"software", "ソフト.DoC", "doc"},
    {"schedule with a blank", "予定表 2024.xls", "xls"},
    {"259 bytes", std::string(255, 'n') + ".txt", "txt"},
    {"leading dot", ".profile", "profile"},
    {"device name inside a longer name", "CONSOLE.log", "log"},
    {"COM10", "COM10", ""},
    {"empty", "", NULL},
    {"dot", ".", NULL},
    {"dot dot", "..", NULL},
    {"backslash", "a\\b.txt", NULL},
    {"slash", "a/b.txt", NULL},
    {"colon", "c:b.txt", NULL},
    {"control byte", "a\tb.txt", NULL},
    {"CON", "CON", NULL},
    {"prn before a dot", "prn.txt", NULL},
    {"Aux before dots", "Aux.tar.gz", NULL},
    {"nul", "nul", NULL},
    {"COM1", "COM1", NULL},
    {"lpt9 before a dot", "lpt9.doc", NULL},
    {"260 bytes", std::string(256, 'n') + ".txt", NULL},
};

// Cases print as their label.
void PrintTo(const NameCase &c, std::ostream *out)
{
    *out << c.label;
}

class StartUpName : public ::testing::TestWithParam<NameCase> {};

TEST_P(StartUpName, ThroughTheLoad)
{
    const NameCase &c = GetParam();
    Scene s;
    s.exe = s.dir.MakeFolder(c.folder) + "/Data.exe";
    WriteFileBytes(s.exe, Executable(kSize1234567, c.name));
    ShimSetFileTitleHidesExtension(c.hideExtension);
    s.OpenDialog();
    s.Load();
    if (c.extension == NULL) {
        EXPECT_EQ(s.Boxes(), std::vector<std::string>{"Damaged[exe]"});
        EXPECT_TRUE(ClosePosted());
        EXPECT_EQ(s.Text(IDC_DESTINATION), "");
        EXPECT_EQ(s.Text(IDC_INFO), "Static");
        return;
    }
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{});
    EXPECT_FALSE(ClosePosted());
    EXPECT_EQ(s.Text(IDC_INFO), "分割元ファイル " + c.name + "\r\nサイズ  1,234,567Bytes");
    EXPECT_EQ(s.Text(IDC_DESTINATION), Upper(s.dir.Path()) + "/" + c.shownFolder + "/" + c.name);
    EXPECT_STREQ(g_restoreInfo.extension, c.extension);
    EXPECT_EQ(g_restoreInfo.totalSize, 1234567);
    EXPECT_EQ(g_restoreInfo.headerLength, 5 + 1 + 4 + 1 + 4 + 2 + 1 + (c.name.size() < 128 ? 1 : 2) + (LONG)c.name.size() + 8 + 1);
}

INSTANTIATE_TEST_SUITE_P(Table, StartUpName, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<NameCase> &info) { return TestName(info.param.label); });

// The failures: one box each, the dialog closed, nothing filled in, no file left open.
TEST(StartUp, Failures)
{
    const Bytes sound = Executable(kSize1234567, "sample.txt");
    const struct {
        const char *label;
        std::function<void(Scene &)> make;
        const char *box;
    } cases[] = {
        {"no progress bar", [&](Scene &s) { WriteFileBytes(s.exe, sound); ShimOmitNextDialogControl(IDC_PROGRESS); }, "NoScreen"},
        {"own file cannot be opened", [](Scene &) {}, "Unopenable"},
        {"stub with nothing appended", [&](Scene &s) { WriteFileBytes(s.exe, Bytes(sound.begin(), sound.begin() + kFirstPieceOffset)); }, "Damaged[exe]"},
        {"header cut in the name", [&](Scene &s) { WriteFileBytes(s.exe, Bytes(sound.begin(), sound.begin() + kFirstPieceOffset + 22)); }, "Damaged[exe]"},
        {"record length cut short", [](Scene &s) { Bytes e = Executable(kSize1234567, std::string(200, 'n')); e.resize(kFirstPieceOffset + 19); WriteFileBytes(s.exe, e); }, "Damaged[exe]"},
        {"total size negative", [](Scene &s) { WriteFileBytes(s.exe, Executable(Bytes(8, 0xFF), "sample.txt")); }, "Damaged[exe]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Scene s;
        s.exe = s.dir.File("Data.exe");
        c.make(s);
        s.OpenDialog();
        s.Load();
        EXPECT_EQ(s.Boxes(), std::vector<std::string>{c.box});
        EXPECT_TRUE(ClosePosted());
        EXPECT_EQ(s.Text(IDC_DESTINATION), "");
    }
}

// Sizes are grouped by threes through the load, over the whole 64-bit range.
TEST(StartUp, GroupedSize)
{
    const struct {
        Bytes size;
        const char *shown;
    } cases[] = {
        {{0, 0, 0, 0}, "0"},
        {{0, 0, 0x03, 0xE7}, "999"},
        {{0, 0, 0x03, 0xE8}, "1,000"},
        {{0, 0x01, 0x86, 0xA0}, "100,000"},
        {kSize1234567, "1,234,567"},
        {{0x80, 0, 0, 0, 0, 0, 0, 0}, "2,147,483,648"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, "9,223,372,036,854,775,807"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        Scene s;
        s.exe = s.dir.File("Data.exe");
        WriteFileBytes(s.exe, Executable(c.size, "a.bin"));
        s.OpenDialog();
        s.Load();
        EXPECT_EQ(s.Text(IDC_INFO), std::string("分割元ファイル a.bin\r\nサイズ  ") + c.shown + "Bytes");
    }
}

} // namespace
