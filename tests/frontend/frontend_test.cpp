// tests/frontend/frontend_test.cpp: parcelon-restore as a user runs it, over sets made by
// parcelon-split: unattended (standard input not a terminal) and interactive on a
// pseudo-terminal, keys typed and the screen read; and its texts and keys on their own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __APPLE__
#include <util.h>
#else
#include <pty.h>
#endif

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/terminal.h"
#include "frontend/text.h"
#include "support/support.h"

namespace {

const char kStoredName[] = "報告書.bin";
const long long kStoredTime = 981173106; // 2001-02-03T04:05:06 UTC, as the sets store it
const size_t kInputSize = 120000;        // three pieces of a set cut at 80,000 bytes
const long long kLargeSize = 1LL << 30;  // long enough to cancel: a sparse file, read fast
const int kWaitSeconds = 60;

std::string RealPath(const std::string &path)
{
    char *real = realpath(path.c_str(), NULL);
    std::string out = real ? real : path;
    free(real);
    return out;
}

// A split set of `input` in dir/set: Data.exe, Data.d02, ..., stored name and time fixed.
std::string MakeSet(const TempDir &dir, const std::string &input, const std::vector<std::string> &options)
{
    const std::string set = dir.MakeFolder("set");
    std::vector<std::string> arguments = {"--stub", MakeStub(dir), "--out", set, "--base", "Data",
                                          "--name", kStoredName, "--time", "2001-02-03T04:05:06"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(input);
    const SplitRun run = RunSplit(arguments);
    EXPECT_EQ(run.status, 0) << run.errors;
    return set;
}

void RunRestore(const std::string &folder, const std::vector<std::string> &arguments)
{
    std::vector<std::string> copies = arguments;
    std::vector<char *> argv = {const_cast<char *>(PARCELON_RESTORE)};
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(NULL);
    if (chdir(folder.c_str()) == 0)
        execv(PARCELON_RESTORE, argv.data());
    _exit(127);
}

struct Outcome {
    int status;
    std::string output, errors;
};

// Runs parcelon-restore in `folder` with standard input from /dev/null.
Outcome RunUnattended(const std::string &folder, const std::vector<std::string> &arguments)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {-1, "", "no pipe"};
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        RunRestore(folder, arguments);
    }
    close(out[1]);
    close(err[1]);
    Outcome outcome = {-1, "", ""};
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&outcome.output, &outcome.errors};
    for (int remaining = 2; remaining > 0 && poll(fds, 2, kWaitSeconds * 1000) > 0;) {
        for (int i = 0; i < 2; i++) {
            char bytes[4096];
            const ssize_t n = fds[i].revents ? read(fds[i].fd, bytes, sizeof bytes) : -1;
            if (n > 0)
                texts[i]->append(bytes, (size_t)n);
            else if (fds[i].revents && fds[i].fd >= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                remaining--;
            }
        }
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    return outcome;
}

std::string Fill(std::string text, const std::string &dir, const std::string &set)
{
    for (size_t at; (at = text.find("{set}")) != std::string::npos;)
        text.replace(at, 5, set);
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;)
        text.replace(at, 5, dir);
    return text;
}

TEST(FrontendText, ShowsProgramTextsSafely)
{
    ASSERT_TRUE(OpenTextConverter());
    const std::vector<PathInText> paths = {{"Data.", "/set/Data."}, {"データ.", "/set/データ."}};
    const struct {
        std::string programText, shown;
    } cases[] = {
        {"\x95\x9C\x8C\xB3\x82\xAA\x8F\x49\x97\xB9", "復元が終了"},                   // code page 932
        {"\x8E\x9F\x82\xC9 Data.d03 \x82\xF0", "次に /set/Data.d03 を"},                // a piece's path
        {"[\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.d02]", "[/set/データ.d02]"},       // UTF-8 file names
        {"\x95\x5C.txt", "表.txt"},                                                    // trail byte 0x5C
        {"a\x1b[2Jb\r\n\tc\x7F", "a?[2Jb\n c?"},                                       // control bytes
        {"\x81", "?"},                                                                  // a lead byte alone
    };
    for (const auto &c : cases)
        EXPECT_EQ(Printable(Utf8FromProgram(c.programText, paths)), c.shown) << c.shown;
    EXPECT_EQ(Printable("\xC2\x9B" "1m \xE2\x80\xAE \xFF"), "?1m ? ?"); // C1, bidirectional, invalid
    EXPECT_EQ(TextWidth("報告.bin"), 8);
    EXPECT_EQ(FitWidth("報告書", 5), "報告");
    EXPECT_EQ(WrapLines("ab\n報告書", 4), (std::vector<std::string>{"ab", "報告", "書"}));
    EXPECT_EQ(Grouped(1234567), "1,234,567");
}

TEST(FrontendText, EditsAndDecodesKeys)
{
    LineEditor editor;
    editor.Set("a\xC3\xA9報");
    editor.Left();
    editor.Backspace();
    editor.Insert("/");
    EXPECT_EQ(editor.Text(), "a/報");
    editor.Set("/a/very/long/path/報告書.bin");
    int column = -1;
    EXPECT_EQ(editor.View(10, &column), "告書.bin");
    EXPECT_EQ(column, 8);

    KeyDecoder keys;
    const std::string typed = "\x1b[Ax\x1b" "c\x1b[3~\x1b[Z\r\xE5\xA0";
    keys.Feed(typed.data(), typed.size());
    const Key::Kind expected[] = {Key::kUp, Key::kText, Key::kAlt, Key::kDelete, Key::kBackTab, Key::kEnter};
    Key key;
    for (Key::Kind kind : expected) {
        ASSERT_TRUE(keys.Next(&key, false));
        EXPECT_EQ(key.kind, kind);
    }
    EXPECT_FALSE(keys.Next(&key, false)); // half a character waits for the rest
    keys.Feed("\xB1\x1b", 2);
    ASSERT_TRUE(keys.Next(&key, false));
    EXPECT_EQ(key.text, "報");
    EXPECT_FALSE(keys.Next(&key, false)); // an escape byte waits for what may follow
    ASSERT_TRUE(keys.Next(&key, true));
    EXPECT_EQ(key.kind, Key::kEscape);
}

TEST(FrontendUnattended, AnswersEveryQuestionByItsPolicy)
{
    enum Prepare {
        kNothing, kExisting, kMissingPiece, kDamaged, kSecondPieceGone, kCapitals, kDamagedLastPiece,
        kNoExecutable, kNoExecutableNorLastPiece
    };
    // kRestoredWrong: the file is there, whole, and differs from the input.
    enum Result { kRestored, kUntouched, kNotRestored, kRestoredWrong };
    struct Case {
        const char *label;
        std::vector<std::string> splitOptions;
        Prepare prepare;
        std::vector<std::string> arguments; // before the set's path
        const char *destination;            // in the folder the command runs in
        int status;
        std::vector<std::string> errors;    // what standard error holds; {set}, {dir}: folders
        Result result;
        const char *setArgument = "set/Data.exe";
    } cases[] = {
        {"restores", {}, kNothing, {}, "set/報告書.bin", 0,
         {"復元先ファイル名: {set}/報告書.bin\n", "\n復元が終了しました。\n"}, kRestored},
        {"keeps an existing file", {}, kExisting, {}, "set/報告書.bin", 1,
         {"[Parcelon  上書き確認] {set}/報告書.bin は\n  すでに存在しますが、上書きしてもよろしいですか\n  -> No\n",
          "\n復元を中止しました。\n"}, kUntouched},
        {"overwrites under --yes", {}, kExisting, {"--yes"}, "set/報告書.bin", 0,
         {"上書きしてもよろしいですか\n  -> Yes\n", "\n復元が終了しました。\n"}, kRestored},
        {"cancels a missing piece", {}, kMissingPiece, {"--yes"}, "set/報告書.bin", 1,
         {"[Parcelon 次のファイル] 次に {set}/Data.d03 を読み込みます。\n  -> Cancel\n", "\n復元を中止しました。\n"},
         kNotRestored},
        {"stops at a bad check value", {"--bad-crc", "2"}, kNothing, {}, "set/報告書.bin", 1,
         {"[Parcelon 復元確認] ファイルの内容が正しくありません。強行しますか？\n  [{set}/Data.d02]\n  -> No\n"},
         kNotRestored},
        // The exit status: 3 when the file is finished but holds data known to be wrong.
        {"forces a bad check value under --yes", {"--bad-crc", "2"}, kNothing, {"--yes"}, "set/報告書.bin", 3,
         {"強行しますか？\n  [{set}/Data.d02]\n  -> Yes\n", "\n復元が終了しました。\n"}, kRestored},
        {"reports the last piece's bad check value", {"--bad-crc", "3"}, kNothing, {}, "set/報告書.bin", 3,
         {"[Parcelon 復元確認] ファイルの内容が正しくありません。\n  [{set}/Data.d03]\n  -> OK\n",
          "\n復元が終了しました。\n"}, kRestored},
        {"forces a piece of another set under --yes", {"--set-id-for", "3=BEEF"}, kNothing, {"--yes"}, "set/報告書.bin",
         3, {"現在復元中のファイルとは異なります。強行しますか？\n  -> Yes\n", "\n復元が終了しました。\n"}, kRestored},
        {"a damaged last piece not rebuilt", {"--recovery"}, kDamagedLastPiece, {"--no"}, "set/報告書.bin", 3,
         {"回復ファイルから作り直しますか？\n  [{set}/Data.d03]\n  -> No\n",
          "ファイルの内容が正しくありません。\n  [{set}/Data.d03]\n  -> OK\n", "\n復元が終了しました。\n"},
         kRestoredWrong},
        {"a damaged last piece rebuilt under --yes", {"--recovery"}, kDamagedLastPiece, {"--yes"}, "set/報告書.bin", 0,
         {"回復ファイルから作り直しますか？\n  [{set}/Data.d03]\n  -> Yes\n", "\n復元が終了しました。\n"},
         kRestored},
        {"a wrong command line", {}, kNothing, {"--bogus"}, "set/報告書.bin", 64, {"Try 'parcelon-restore --help'."},
         kNotRestored},
        {"refuses a piece of another set", {"--set-id-for", "3=BEEF"}, kNothing, {"--no"}, "set/報告書.bin", 1,
         {"「{set}/Data.d03」は、\n  現在復元中のファイルとは異なります。強行しますか？\n  -> No\n"}, kNotRestored},
        {"closes on a damaged executable", {}, kDamaged, {}, "set/報告書.bin", 1,
         {"[Parcelon] ファイルが壊れています。\n  [{set}/Data.exe]\n  -> OK\n"}, kNotRestored},
        {"restores to -o from the current folder", {}, kNothing, {"-o", "out/copy.bin"}, "out/copy.bin", 0,
         {"復元先ファイル名: {dir}/out/copy.bin\n"}, kRestored},
        {"never overwrites a piece of the set", {}, kNothing, {"--yes", "-o", "set/Data.d02"}, "set/Data.d02", 1,
         {"  -> No (the destination is a file of this set"}, kUntouched},
        {"rebuilds a missing piece under --yes", {"--recovery"}, kMissingPiece, {"--yes"}, "set/報告書.bin", 0,
         {"[Parcelon 復元確認] 「{set}/Data.d03」が見つかりません。\n  回復ファイルから作り直しますか？\n  -> Yes\n",
          "\n復元が終了しました。\n"},
         kRestored},
        {"never overwrites the recovery file", {"--recovery"}, kNothing, {"--yes", "-o", "set/Data.d00"}, "set/Data.d00",
         1, {"  -> No (the destination is a file of this set"}, kUntouched},
        {"never overwrites a later recovery file", {"--recovery=2"}, kNothing, {"--yes", "-o", "set/Data.d00.02"},
         "set/Data.d00.02", 1, {"  -> No (the destination is a file of this set"}, kUntouched},
        {"never overwrites a piece behind a missing one", {}, kSecondPieceGone, {"--yes", "-o", "set/Data.d03"},
         "set/Data.d03", 1, {"  -> No (the destination is a file of this set"}, kUntouched},
        {"never overwrites a piece named in capitals", {}, kCapitals, {"--yes", "-o", "set/DATA.D02"}, "set/DATA.D02",
         1, {"  -> No (the destination is a file of this set"}, kUntouched},
        {"never overwrites the recovery file in capitals", {"--recovery"}, kCapitals, {"--yes", "-o", "set/data.D00"},
         "set/data.D00", 1, {"  -> No (the destination is a file of this set"}, kUntouched},
        // Without the executable, the recovery file (or a piece file) names the set, and the
        // first piece is rebuilt without a question.
        {"restores without the executable", {"--recovery"}, kNoExecutable, {"--no"}, "set/報告書.bin", 0,
         {"復元先ファイル名: {set}/報告書.bin\n", "\n復元が終了しました。\n"}, kRestored, "set/Data.d00"},
        {"restores without the executable, named by a piece", {"--recovery"}, kNoExecutable, {}, "set/報告書.bin", 0,
         {"\n復元が終了しました。\n"}, kRestored, "set/Data.d03"},
        {"without the executable, a lost piece is one too many", {"--recovery"}, kNoExecutableNorLastPiece, {"--yes"},
         "set/報告書.bin", 1, {"次に {set}/Data.d03 を読み込みます。\n  -> Cancel\n"}, kNotRestored, "set/Data.d02"},
        {"without the executable, named by a later recovery file, a lost piece rebuilt as well", {"--recovery=3"},
         kNoExecutableNorLastPiece, {"--yes"}, "set/報告書.bin", 0,
         {"「{set}/Data.d03」が見つかりません。\n  回復ファイルから作り直しますか？\n  -> Yes\n", "\n復元が終了しました。\n"},
         kRestored, "set/Data.d00.02"},
        {"without the executable nor a recovery file", {}, kNoExecutable, {}, "set/報告書.bin", 64,
         {"neither the set's executable nor its recovery file"}, kNotRestored, "set/Data.d02"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const Bytes input = SomeBytes(kInputSize, 7);
        WriteFileBytes(dir.File("input.bin"), input);
        std::vector<std::string> options = {"--piece-size", "80000"};
        options.insert(options.end(), c.splitOptions.begin(), c.splitOptions.end());
        const std::string set = MakeSet(dir, dir.File("input.bin"), options);
        dir.MakeFolder("out");
        const std::string destination = dir.File(c.destination);
        if (c.prepare == kExisting)
            WriteFileBytes(destination, BytesOf("old"));
        if (c.prepare == kMissingPiece) {
            ASSERT_EQ(unlink((set + "/Data.d03").c_str()), 0);
        }
        if (c.prepare == kDamaged) {
            ASSERT_EQ(truncate((set + "/Data.exe").c_str(), 53248 + 10), 0);
        }
        if (c.prepare == kSecondPieceGone) {
            ASSERT_EQ(unlink((set + "/Data.d02").c_str()), 0);
        }
        if (c.prepare == kCapitals) {
            ASSERT_EQ(rename((set + "/Data.d02").c_str(), (set + "/DATA.D02").c_str()), 0);
            rename((set + "/Data.d00").c_str(), (set + "/data.D00").c_str());
        }
        if (c.prepare == kDamagedLastPiece) {
            Bytes bytes = ReadFileBytes(set + "/Data.d03");
            bytes[bytes.size() - 100] ^= 0x40;
            WriteFileBytes(set + "/Data.d03", bytes);
        }
        if (c.prepare == kNoExecutable || c.prepare == kNoExecutableNorLastPiece) {
            ASSERT_EQ(unlink((set + "/Data.exe").c_str()), 0);
        }
        if (c.prepare == kNoExecutableNorLastPiece) {
            ASSERT_EQ(unlink((set + "/Data.d03").c_str()), 0);
        }
        const Bytes before = c.result == kUntouched ? ReadFileBytes(destination) : Bytes();

        std::vector<std::string> arguments = c.arguments;
        arguments.push_back(c.setArgument);
        const Outcome run = RunUnattended(dir.Path(), arguments);
        EXPECT_EQ(run.status, c.status) << run.errors;
        EXPECT_EQ(run.output, "");
        for (const std::string &expected : c.errors)
            EXPECT_NE(run.errors.find(Fill(expected, RealPath(dir.Path()), RealPath(set))), std::string::npos)
                << "missing: " << expected << "\nin:\n" << run.errors;
        struct stat info;
        const bool exists = stat(destination.c_str(), &info) == 0;
        if (c.result == kRestored) {
            EXPECT_EQ(ReadFileBytes(destination), input);
            EXPECT_EQ(exists ? (long long)info.st_mtime : 0, kStoredTime);
        } else if (c.result == kUntouched) {
            EXPECT_EQ(ReadFileBytes(destination), before);
        } else if (c.result == kRestoredWrong) {
            const Bytes restored = exists ? ReadFileBytes(destination) : Bytes();
            EXPECT_EQ(restored.size(), input.size());
            EXPECT_NE(restored, input);
        } else {
            EXPECT_TRUE(!exists || ReadFileBytes(destination) != input);
        }
    }
}

TEST(FrontendUnattended, RefusesAWrongCommandLine)
{
    TempDir dir;
    WriteFileBytes(dir.File("input.bin"), SomeBytes(kInputSize, 3));
    const std::string set = MakeSet(dir, dir.File("input.bin"), {"--piece-size", "80000"});
    const std::vector<std::string> setFiles = ListFolder(set);
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"set/Data.exe", "set/Data.exe"}, {"--bogus", "set/Data.exe"}, {"--yes", "--no", "set/Data.exe"},
        {"set/None.exe"}, {"set"}, {"set/Data.exe", "-o"}, {"-o", "", "set/Data.exe"},
        {"-o", "a", "-o", "b", "set/Data.exe"}, {"-o", std::string(1300, 'x'), "set/Data.exe"}};
    for (const std::vector<std::string> &arguments : wrong) {
        const Outcome run = RunUnattended(dir.Path(), arguments);
        EXPECT_EQ(run.status, 64) << run.errors;
        EXPECT_NE(run.errors.find("Try 'parcelon-restore --help'."), std::string::npos) << run.errors;
    }
    EXPECT_EQ(ListFolder(set), setFiles);
    const Outcome help = RunUnattended(dir.Path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.find("Usage: parcelon-restore [options] SET.exe\n"), 0u) << help.output;
}

TEST(FrontendCheck, ReadsEveryPieceAndWritesNothing)
{
    enum Damage {
        kSound,
        kFlippedByte,
        kMissingPiece,
        kForeignPiece,
        kTruncatedLast,
        kDamagedFirst,
        kMarkedFlippedFirst,
        kMissingAndFlipped,
        kMissingWithRecoveryInCapitals,
        kNoExecutable
    };
    struct Case {
        const char *label;
        Damage damage;
        int status;
        std::vector<std::string> lines; // each a whole line of standard output, in order
        bool recovery = false;          // the set has a recovery file
    } cases[] = {
        {"a sound set", kSound, 0,
         {"  Data.exe  40,000 data bytes  check value good  set identifier same",
          "  Data.d02  40,000 data bytes  check value good  set identifier same",
          "  Data.d03  40,000 data bytes  check value good  set identifier same",
          "sound: 3 pieces, every check value good and every set identifier the same; 120,000 of 120,000 bytes"}},
        {"a data byte flipped", kFlippedByte, 1,
         {"  Data.d02  40,000 data bytes  check value bad  set identifier same",
          "  Data.d03  40,000 data bytes  check value good  set identifier same",
          "not sound: Data.d02 fails its check value (120,000 of 120,000 bytes read)"}},
        {"a later piece missing", kMissingPiece, 1,
         {"  Data.d02  40,000 data bytes  check value good  set identifier same", "  Data.d03  missing (cannot be opened)",
          "not sound: Data.d03 is missing (80,000 of 120,000 bytes read)"}},
        {"a piece of another set", kForeignPiece, 1,
         {"  Data.d02  40,000 data bytes  check value good  set identifier foreign",
          "  Data.d03  40,000 data bytes  check value good  set identifier same",
          "not sound: Data.d02 belongs to another set (120,000 of 120,000 bytes read)"}},
        {"the last piece cut short", kTruncatedLast, 1,
         {"  Data.d03  39,936 data bytes  check value not reached: the file ends early  set identifier same",
          "not sound: Data.d03 ends early (119,936 of 120,000 bytes read)"}},
        {"a damaged first piece", kDamagedFirst, 1,
         {"not sound: Data.exe is refused at start-up (0 bytes read)"}},
        // The program reads the executable's download mark too; that is no piece.
        {"a byte flipped in a downloaded first piece", kMarkedFlippedFirst, 1,
         {"  Data.exe  40,000 data bytes  check value bad  set identifier same",
          "  Data.d02  40,000 data bytes  check value good  set identifier same",
          "  Data.d03  40,000 data bytes  check value good  set identifier same",
          "not sound: Data.exe fails its check value (120,000 of 120,000 bytes read)"}},
        // With a recovery file: its own line, and three verdicts.
        {"recovery: a sound set", kSound, 0,
         {"  Data.d03  40,000 data bytes  check value good  set identifier same",
          "  Data.d00  recovery file of 3 pieces, parity data good; every piece's CRC-64 checked as well",
          "sound: 3 pieces, every check value good and every set identifier the same; 120,000 of 120,000 bytes"},
         true},
        {"recovery: a later piece missing", kMissingPiece, 2,
         {"  Data.d02  40,000 data bytes  check value good  set identifier same",
          "  Data.d03  missing (cannot be opened); the recovery file would rebuild it",
          "  Data.d00  recovery file of 3 pieces, parity data good; every piece's CRC-64 checked as well",
          "repairable: Data.d03 would be rebuilt from the recovery file Data.d00; every other piece and the parity "
          "data are sound"},
         true},
        // The recovery file is found as the program finds it, whatever the case of its name.
        {"recovery in capitals: a later piece missing", kMissingWithRecoveryInCapitals, 2,
         {"  Data.d02  40,000 data bytes  check value good  set identifier same",
          "  Data.d03  missing (cannot be opened); the recovery file would rebuild it",
          "  Data.d00  recovery file of 3 pieces, parity data good; every piece's CRC-64 checked as well",
          "repairable: Data.d03 would be rebuilt from the recovery file Data.d00; every other piece and the parity "
          "data are sound"},
         true},
        {"recovery: a piece missing and another damaged", kMissingAndFlipped, 1,
         {"  Data.d02  cannot be used whole (its marker, header or a check fails); the recovery file would rebuild it",
          "  Data.d03  missing (cannot be opened)",
          "  Data.d00  recovery file of 3 pieces, parity data good; every piece's CRC-64 checked as well",
          "not sound: Data.d02 cannot be used whole; Data.d03 is missing (80,000 of 120,000 bytes read)"},
         true},
        {"recovery: no executable, checked through its recovery file", kNoExecutable, 2,
         {"  Data.exe  missing (cannot be opened); the recovery file would rebuild it",
          "  Data.d02  40,000 data bytes  check value good  set identifier same",
          "  Data.d03  40,000 data bytes  check value good  set identifier same",
          "  Data.d00  recovery file of 3 pieces, parity data good; every piece's CRC-64 checked as well",
          "repairable: Data.exe would be rebuilt from the recovery file Data.d00; every other piece and the parity "
          "data are sound"},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        WriteFileBytes(dir.File("input.bin"), SomeBytes(kInputSize, 11));
        const std::vector<std::string> counts = {"--data-counts", "40000,40000,40000"};
        std::vector<std::string> options = counts;
        options.insert(options.end(), {"--set-id", "1A2B"});
        if (c.recovery)
            options.push_back("--recovery");
        const std::string set = MakeSet(dir, dir.File("input.bin"), options);
        const std::string d02 = set + "/Data.d02", d03 = set + "/Data.d03";
        if (c.damage == kFlippedByte || c.damage == kMissingAndFlipped) {
            Bytes bytes = ReadFileBytes(d02);
            bytes[bytes.size() - 100] ^= 0x40;
            WriteFileBytes(d02, bytes);
        }
        if (c.damage == kMissingPiece || c.damage == kMissingAndFlipped || c.damage == kMissingWithRecoveryInCapitals) {
            ASSERT_EQ(unlink(d03.c_str()), 0);
        }
        if (c.damage == kMissingWithRecoveryInCapitals) {
            ASSERT_EQ(rename((set + "/Data.d00").c_str(), (set + "/Data.D00").c_str()), 0);
        }
        if (c.damage == kForeignPiece) {
            // Another file split the same way, whose second piece took this one's place.
            WriteFileBytes(dir.File("other.bin"), SomeBytes(kInputSize, 12));
            const std::string other = dir.MakeFolder("other");
            std::vector<std::string> arguments = {"--stub", MakeStub(dir), "--out", other, "--base", "Data", "--set-id", "3C4D"};
            arguments.insert(arguments.end(), counts.begin(), counts.end());
            arguments.push_back(dir.File("other.bin"));
            ASSERT_EQ(RunSplit(arguments).status, 0);
            ASSERT_EQ(rename((other + "/Data.d02").c_str(), d02.c_str()), 0);
        }
        if (c.damage == kTruncatedLast) {
            ASSERT_EQ(truncate(d03.c_str(), (off_t)ReadFileBytes(d03).size() - 10), 0);
        }
        if (c.damage == kMarkedFlippedFirst) {
            WriteFileBytes(set + "/Data.exe:Zone.Identifier", BytesOf("[ZoneTransfer]\r\nZoneId=3\r\n"));
            Bytes bytes = ReadFileBytes(set + "/Data.exe");
            bytes[bytes.size() - 100] ^= 0x40;
            WriteFileBytes(set + "/Data.exe", bytes);
        }
        if (c.damage == kDamagedFirst) {
            ASSERT_EQ(truncate((set + "/Data.exe").c_str(), 53248 + 10), 0);
        }
        if (c.damage == kNoExecutable) {
            ASSERT_EQ(unlink((set + "/Data.exe").c_str()), 0);
        }
        const std::vector<std::string> setFiles = ListFolder(set), startFiles = ListFolder(dir.Path());

        const Outcome run =
            RunUnattended(dir.Path(), {"--check", c.damage == kNoExecutable ? "set/Data.d00" : "set/Data.exe"});
        EXPECT_EQ(run.status, c.status) << run.output << run.errors;
        size_t at = 0;
        for (const std::string &line : c.lines) {
            const size_t found = run.output.find(line + "\n", at);
            EXPECT_NE(found, std::string::npos) << "missing: " << line << "\nin:\n" << run.output;
            at = found == std::string::npos ? at : found + line.size();
        }
        EXPECT_EQ(run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1), c.lines.back() + "\n");
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(ListFolder(set), setFiles);
        EXPECT_EQ(ListFolder(dir.Path()), startFiles);
    }
}

// parcelon-restore on a pseudo-terminal of 100 x 30. The screen follows the front end's way
// of drawing: each line is written whole after the cursor moved to its first column.
class Terminal {
public:
    Terminal(const std::string &folder, const std::vector<std::string> &arguments) : rows_(kRows)
    {
        struct winsize size = {kRows, 100, 0, 0};
        child_ = forkpty(&master_, NULL, NULL, &size);
        if (child_ == 0)
            RunRestore(folder, arguments);
    }
    ~Terminal()
    {
        if (child_ > 0 && !exited_) {
            kill(child_, SIGKILL);
            waitpid(child_, NULL, 0);
        }
        close(master_);
    }
    void Type(const std::string &keys) { EXPECT_EQ(write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }
    // Reads and draws the output until `done` holds; false when it does not in time.
    bool Until(const std::function<bool()> &done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
        while (!done())
            if (std::chrono::steady_clock::now() > deadline || !Pump())
                return done();
        return true;
    }
    bool Shows(const std::string &text) const
    {
        for (const std::string &row : rows_)
            if (row.find(text) != std::string::npos)
                return true;
        return false;
    }
    // The percentage shown right of the progress bar, or -1.
    int Percent() const
    {
        for (const std::string &row : rows_)
            if (row.compare(0, 2, " [") == 0 && row.back() == '%')
                return atoi(row.c_str() + row.find_last_of(' ') + 1);
        return -1;
    }
    std::string Screen() const
    {
        std::string screen;
        for (const std::string &row : rows_)
            screen += row + "\n";
        return screen;
    }
    // The exit status once the program has ended, or -1.
    int Exit()
    {
        Until([this] { return exited_; });
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    struct termios Modes() const
    {
        struct termios modes = {};
        tcgetattr(master_, &modes);
        return modes;
    }

private:
    static const int kRows = 30;

    bool Pump()
    {
        if (!exited_ && waitpid(child_, &status_, WNOHANG) == child_)
            exited_ = true;
        struct pollfd fd = {master_, POLLIN, 0};
        char bytes[4096];
        const ssize_t n = poll(&fd, 1, 100) > 0 ? read(master_, bytes, sizeof bytes) : 0;
        if (n > 0)
            Draw(std::string(bytes, (size_t)n));
        return n >= 0 || !exited_;
    }
    void Draw(const std::string &bytes)
    {
        pending_ += bytes;
        size_t at = 0;
        while (at < pending_.size()) {
            const unsigned char c = (unsigned char)pending_[at];
            if (c == 0x1B) {
                size_t end = at + 2;
                while (end < pending_.size() && (pending_[end] < 0x40 || pending_[end] > 0x7E))
                    end++;
                if (end >= pending_.size())
                    break;
                int row = 1, column = 1;
                if (pending_[end] == 'H' && sscanf(pending_.c_str() + at + 2, "%d;%d", &row, &column) >= 0 &&
                    row >= 1 && row <= kRows) {
                    row_ = row - 1;
                    if (column == 1)
                        rows_[(size_t)row_].clear();
                }
                if (pending_[end] == 'J')
                    rows_.assign(kRows, "");
                at = end + 1;
                continue;
            }
            if (c >= 0x20 && c != 0x7F)
                rows_[(size_t)row_] += (char)c;
            at++;
        }
        pending_.erase(0, at);
    }

    int master_ = -1;
    pid_t child_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::vector<std::string> rows_;
    int row_ = 0;
    std::string pending_;
};

TEST(FrontendInteractive, StartsAndCancelsALargeRestore)
{
    TempDir dir;
    const std::string input = dir.File("large.bin");
    const int fd = open(input.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, kLargeSize), 0);
    close(fd);
    const std::string set = MakeSet(dir, input, {"--piece-size", "300000000"});
    const std::string destination = set + "/" + kStoredName;

    Terminal terminal(dir.Path(), {"set/Data.exe"});
    ASSERT_TRUE(terminal.Until([&] {
        return terminal.Shows("| 分割元ファイル 報告書.bin ") && terminal.Shows("| サイズ  1,073,741,824Bytes ") &&
               terminal.Shows(" 復元先ファイル名 [" + RealPath(destination) + " ") && terminal.Shows("[ 復元開始(X) ]");
    })) << terminal.Screen();
    terminal.Type("x");
    int first = -1;
    ASSERT_TRUE(terminal.Until([&] { return (first = terminal.Percent()) > 0; })) << terminal.Screen();
    ASSERT_TRUE(terminal.Until([&] { return terminal.Percent() > first; })) << terminal.Screen();
    EXPECT_TRUE(terminal.Shows("| 現在復元中です。しばらくお待ち下さい。")) << terminal.Screen();
    EXPECT_TRUE(terminal.Shows("中止(C)")) << terminal.Screen();
    terminal.Type("c");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 復元を中止しました。"); })) << terminal.Screen();
    EXPECT_TRUE(terminal.Shows("閉じる(C)")) << terminal.Screen();
    struct stat info;
    ASSERT_EQ(stat(destination.c_str(), &info), 0);
    EXPECT_LT(info.st_size, kLargeSize);
    terminal.Type("\x03"); // Ctrl-C closes the idle dialog
    EXPECT_EQ(terminal.Exit(), 1);
    const struct termios modes = terminal.Modes();
    EXPECT_TRUE((modes.c_lflag & ICANON) && (modes.c_lflag & ECHO)) << "the terminal is left raw";
}

TEST(FrontendInteractive, AsksBeforeOverwriting)
{
    TempDir dir;
    const Bytes input = SomeBytes(kInputSize, 5);
    WriteFileBytes(dir.File("input.bin"), input);
    const std::string destination = MakeSet(dir, dir.File("input.bin"), {"--piece-size", "80000"}) + "/" + kStoredName;
    WriteFileBytes(destination, BytesOf("old"));

    Terminal terminal(dir.Path(), {"set/Data.exe"});
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 分割元ファイル 報告書.bin "); })) << terminal.Screen();
    terminal.Type("x");
    ASSERT_TRUE(terminal.Until([&] {
        return terminal.Shows("+- Parcelon  上書き確認 -") && terminal.Shows(RealPath(destination) + " は ") &&
               terminal.Shows("すでに存在しますが、上書きしてもよろしいですか") &&
               terminal.Shows("[ はい(Y) ]  [ いいえ(N) ]");
    })) << terminal.Screen();
    terminal.Type("n");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 復元を中止しました。") && !terminal.Shows("上書き確認"); }))
        << terminal.Screen();
    EXPECT_EQ(ReadFileBytes(destination), BytesOf("old"));
    terminal.Type("x");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("上書き確認"); })) << terminal.Screen();
    terminal.Type("y");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 復元が終了しました。"); })) << terminal.Screen();
    EXPECT_EQ(ReadFileBytes(destination), input);
    terminal.Type("c");
    EXPECT_EQ(terminal.Exit(), 0);
}

// A damaged piece taken in by a person's Yes: the dialog says finished, the exit status
// says the file holds data known to be wrong.
TEST(FrontendInteractive, ForcedDamageEndsWithItsOwnStatus)
{
    TempDir dir;
    const Bytes input = SomeBytes(kInputSize, 4);
    WriteFileBytes(dir.File("input.bin"), input);
    const std::string destination =
        MakeSet(dir, dir.File("input.bin"), {"--piece-size", "80000", "--bad-crc", "2"}) + "/" + kStoredName;

    Terminal terminal(dir.Path(), {"set/Data.exe"});
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 分割元ファイル 報告書.bin "); })) << terminal.Screen();
    terminal.Type("x");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("強行しますか？"); })) << terminal.Screen();
    terminal.Type("y");
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 復元が終了しました。"); })) << terminal.Screen();
    EXPECT_EQ(ReadFileBytes(destination), input);
    terminal.Type("c");
    EXPECT_EQ(terminal.Exit(), 3);
}

TEST(FrontendInteractive, TakesTheDestinationFromBrowseAndFromTheField)
{
    TempDir dir;
    const Bytes input = SomeBytes(kInputSize, 9);
    WriteFileBytes(dir.File("input.bin"), input);
    const std::string set = MakeSet(dir, dir.File("input.bin"), {"--piece-size", "80000"});
    const std::string real = RealPath(dir.Path());

    Terminal terminal(dir.Path(), {"set/Data.exe"});
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 分割元ファイル 報告書.bin "); })) << terminal.Screen();
    terminal.Type("r");
    ASSERT_TRUE(terminal.Until([&] {
        return terminal.Shows("+- 復元先ファイル名を指定 -") && terminal.Shows("分割元ファイル (*.bin)") &&
               terminal.Shows("[" + real + "/set/報告書.bin ");
    })) << terminal.Screen();
    terminal.Type("\x15" "chosen.bin\r"); // Ctrl-U empties the pre-filled name
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows(" 復元先ファイル名 [" + real + "/chosen.bin "); }))
        << terminal.Screen();
    terminal.Type("\t\t\x15" "typed.bin\r"); // past Close into the field; Enter presses Start
    ASSERT_TRUE(terminal.Until([&] { return terminal.Shows("| 復元が終了しました。"); })) << terminal.Screen();
    EXPECT_EQ(ReadFileBytes(dir.File("typed.bin")), input);
    EXPECT_EQ(ListFolder(dir.Path()), (std::vector<std::string>{"input.bin", "set", "stub.bin", "typed.bin"}));
    terminal.Type("\x1b" "c"); // Alt+C
    EXPECT_EQ(terminal.Exit(), 0);
}

} // namespace
