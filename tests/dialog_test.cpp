// tests/dialog_test.cpp: the whole program with its message loop on a thread of its own and
// the restore worker on another: Start, Cancel and Close, the status poll's report, the
// mnemonics, and the failures of the entry and of Start.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "resource.h"
#include "support/program.h"
#include "ui/state.h"

namespace {

const std::string kRunning = "現在復元中です。しばらくお待ち下さい。";
const std::string kFinished = "復元が終了しました。";
const std::string kStopped = "復元を中止しました。";

// WinMain on a thread of its own, from the dialog's creation to the end of its loop.
class App {
public:
    explicit App(const Scene &s)
    {
        ShimSetTimeScale(0.02);
        ShimSetModulePath(s.exe.c_str());
        loop_ = std::thread([this] {
            exitCode_ = WinMain((HINSTANCE)0x400000, NULL, (LPSTR) "", SW_SHOW);
            ended_ = true;
        });
        EXPECT_TRUE(WaitFor([this] { return (dialog = ShimDialog()) != NULL || ended_; }));
        EXPECT_TRUE(WaitFor([this] { return Text(IDC_INFO) != "Static" || ended_; })) << "no start-up load";
        SetDlgItemTextA(dialog, IDC_DESTINATION, s.dest.c_str());
    }
    ~App()
    {
        if (!ended_)
            PostMessageA(dialog, WM_CLOSE, 0, 0);
        loop_.join();
    }

    // A button press, handled by the loop's thread before this returns.
    void Press(int id) { SendMessageA(dialog, WM_COMMAND, id, 0); }
    ShimControl Control(int id) const
    {
        for (const ShimControl &control : ShimDialogControls(dialog))
            if (control.id == id)
                return control;
        return ShimControl{NULL, 0, "", "", false, 0, 0, 0};
    }
    std::string Text(int id) const { return Control(id).text; }
    // Whether Start, Browse and the destination field are enabled (all three, or none).
    bool RunControls(bool enabled) const
    {
        return Control(IDC_START).enabled == enabled && Control(IDC_BROWSE).enabled == enabled &&
               Control(IDC_DESTINATION).enabled == enabled;
    }
    // The report of a run's end: the status, "閉じる(&C)" and the controls given back.
    void ExpectReported(const std::string &status)
    {
        EXPECT_TRUE(WaitFor([&] { return Text(IDC_INFO) == status && RunControls(true); })) << Utf8FromCp932(Text(IDC_INFO));
        EXPECT_EQ(Text(IDC_CLOSE), "閉じる(&C)");
        EXPECT_EQ(g_runState.load(), kRunIdle);
    }
    // Close while idle ends the loop; WinMain answers 0.
    void Close()
    {
        Press(IDC_CLOSE);
        EXPECT_TRUE(WaitFor([this] { return ended_.load(); }));
        EXPECT_EQ(exitCode_, 0);
    }

    HWND dialog = NULL;
    std::atomic<bool> ended_{false};

private:
    std::thread loop_;
    int exitCode_ = -1;
};

// A latch between the test and a handler on another thread.
struct Gate {
    std::atomic<bool> reached{false}, opened{false};
    // On the other thread: tells that it got there and waits to be let through.
    void Pass()
    {
        reached = true;
        EXPECT_TRUE(WaitFor([this] { return opened.load(); }));
    }
};

// The progress observer: on the worker's thread, once a position of at least `at` was sent
// in a run, it stops at the gate, or presses Cancel as the user would.
struct Watch {
    std::atomic<HWND> progress{NULL};
    std::atomic<int> at{-1};
    bool pressCancel = false;
    Gate gate;

    explicit Watch(bool cancel) : pressCancel(cancel) { ShimSetObserver(Observe, this); }
    ~Watch() { ShimSetObserver(nullptr, nullptr); }
    static void Observe(void *context, HWND window)
    {
        Watch *watch = (Watch *)context;
        std::vector<int> sent = ShimProgressHistory();
        int at = watch->at.load();
        if (at < 0 || window != watch->progress.load() || sent.empty() || sent.back() < at)
            return;
        watch->at = -1;
        if (!watch->pressCancel) {
            watch->gate.Pass();
            return;
        }
        PostMessageA(ShimDialog(), WM_COMMAND, IDC_CLOSE, 0);
        EXPECT_TRUE(WaitFor([] { return g_runState.load() != kRunRunning; }));
    }
};

bool PostedClose(HWND dialog)
{
    for (const MSG &msg : ShimPostedMessages())
        if (msg.hwnd == dialog && msg.message == WM_CLOSE)
            return true;
    return false;
}

// Start, the running state while the worker waits at the overwrite question, Start again
// (ignored), the report of the end, then Close.
TEST(Dialog, RestoreFromStartToClose)
{
    Scene s;
    s.Split("2000,3000");
    s.PutOldFile();
    Gate asked;
    s.onBox = [&](const std::string &) { asked.Pass(); };
    s.Answer({IDYES});
    ShimSetSaveDialogHandler([](void *, OPENFILENAMEA *, DWORD *) { return FALSE; }, NULL);
    App app(s);
    app.Press(IDC_START);
    ASSERT_TRUE(WaitFor([&] { return asked.reached.load(); }));
    EXPECT_EQ(app.Text(IDC_INFO), kRunning);
    EXPECT_EQ(app.Text(IDC_CLOSE), "中止(&C)");
    EXPECT_TRUE(app.RunControls(false));
    EXPECT_TRUE(app.Control(IDC_CLOSE).enabled);
    app.Press(IDC_START);
    SendMessageA(app.dialog, WM_MENUCHAR, 'x', 0);
    app.Press(IDC_BROWSE);
    EXPECT_EQ(ShimSaveDialogCalls().size(), 0u) << "the chooser ran during the run";
    EXPECT_EQ(g_runState.load(), kRunRunning);
    asked.opened = true;
    app.ExpectReported(kFinished);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"W2[dest]"}) << "a second worker ran";
    EXPECT_EQ(app.Control(IDC_PROGRESS).position, 100);
    s.ExpectDestination(5000, kStored);
    app.Close();
}

// The start-up load runs once: a late tick of its timer changes nothing the user typed.
TEST(Dialog, StartUpLoadRunsOnce)
{
    Scene s;
    s.Split("3000");
    App app(s);
    SetDlgItemTextA(app.dialog, IDC_DESTINATION, "/typed/by/the/user");
    SendMessageA(app.dialog, WM_TIMER, 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(app.Text(IDC_DESTINATION), "/typed/by/the/user");
    EXPECT_EQ(ShimProgressHistory(), std::vector<int>{0});
}

// Alt+C while running asks to cancel, a second Close does nothing, the worker stops after
// one more block and the poll reports it.
TEST(Dialog, CancelDuringARun)
{
    Scene s;
    s.Split("204800");
    Watch watch(false);
    App app(s);
    watch.progress = app.Control(IDC_PROGRESS).window;
    watch.at = 10;
    app.Press(IDC_START);
    ASSERT_TRUE(WaitFor([&] { return watch.gate.reached.load(); }));
    SendMessageA(app.dialog, WM_MENUCHAR, 'c', 0);
    EXPECT_TRUE(WaitFor([] { return g_runState.load() == kRunCancelRequested; }));
    app.Press(IDC_CLOSE);
    EXPECT_EQ(g_runState.load(), kRunCancelRequested);
    EXPECT_FALSE(PostedClose(app.dialog));
    watch.gate.opened = true;
    app.ExpectReported(kStopped);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{});
    s.ExpectDestination(21 * 1024, kNow); // position 10 after block 20, then one more
    EXPECT_EQ(app.Control(IDC_PROGRESS).position, 10);
}

// Close pressed while the worker asks for a piece: the request waits for the answer and
// takes effect after the next block.
TEST(Dialog, CloseWhileTheWorkerAsks)
{
    Scene s;
    s.Split("2000,3000");
    rename(s.Piece(2).c_str(), (s.Piece(2) + ".away").c_str());
    Gate asked;
    s.onBox = [&](const std::string &) {
        asked.Pass();
        rename((s.Piece(2) + ".away").c_str(), s.Piece(2).c_str());
    };
    s.Answer({IDOK});
    App app(s);
    app.Press(IDC_START);
    ASSERT_TRUE(WaitFor([&] { return asked.reached.load(); }));
    app.Press(IDC_CLOSE);
    EXPECT_EQ(g_runState.load(), kRunCancelRequested);
    asked.opened = true;
    app.ExpectReported(kStopped);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"N1[d02]"});
    s.ExpectDestination(2000 + 1024, kNow);
    app.Close();
}

// The window closed by other means while the worker asks: the questions that can no longer
// be shown count as refused, so the worker stops instead of asking for ever.
TEST(Dialog, WindowGoneWhileTheWorkerAsks)
{
    Scene s;
    s.Split("2000,3000");
    remove(s.Piece(2).c_str());
    s.onBox = [&](const std::string &) {
        PostMessageA(ShimDialog(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitFor([] { return ShimDialog() == NULL; }));
    };
    s.Answer({IDOK});
    App app(s);
    app.Press(IDC_START);
    EXPECT_TRUE(WaitFor([] { return g_runState.load() == kRunStopped; }));
    EXPECT_TRUE(app.ended_);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"N1[d02]"});
    s.ExpectDestination(2000, kNow);
}

// Start when no thread can be created: the state goes back to idle, one box, nothing else
// changes; the next Start runs.
TEST(Dialog, ThreadCannotBeCreated)
{
    Scene s;
    s.Split("3000");
    App app(s);
    std::string info = app.Text(IDC_INFO);
    ShimFailNextCreateThread(TRUE);
    app.Press(IDC_START);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"NoStart"});
    EXPECT_EQ(g_runState.load(), kRunIdle);
    EXPECT_EQ(app.Text(IDC_INFO), info);
    EXPECT_EQ(app.Text(IDC_CLOSE), "閉じる(&C)");
    EXPECT_TRUE(app.RunControls(true));
    app.Press(IDC_START);
    app.ExpectReported(kFinished);
    s.ExpectDestination(3000, kStored);
    app.Close();
}

TEST(Dialog, DialogCannotBeCreated)
{
    Scene s;
    ShimFailNextCreateDialog();
    EXPECT_EQ(WinMain((HINSTANCE)0x400000, NULL, (LPSTR) "", SW_SHOW), 1);
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"NoScreen@0"});
}

// A dialog without its progress bar: the start-up load says so and the program ends.
TEST(Dialog, NoProgressBar)
{
    Scene s;
    s.Split("3000");
    ShimOmitNextDialogControl(IDC_PROGRESS);
    App app(s);
    EXPECT_TRUE(WaitFor([&] { return app.ended_.load(); }));
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{"NoScreen"});
}

// Alt and a letter: X starts, C closes or cancels, others do nothing.
TEST(Dialog, MenuCharacters)
{
    Scene s;
    s.OpenDialog(); // no loop: what is posted stays in the queue
    const struct {
        WPARAM character;
        WPARAM command; // 0: nothing posted
    } cases[] = {{'x', 1}, {'X', 1}, {'c', 2}, {'C', 2}, {'r', 0}, {'R', 0}, {'a', 0}, {'1', 0}, {0x82A0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE((char)c.character);
        ShimClearPostedMessages();
        EXPECT_EQ(SendMessageA(g_dialog, WM_MENUCHAR, c.character, 0), 0);
        std::vector<MSG> posted = ShimPostedMessages();
        ASSERT_EQ(posted.size(), c.command ? 1u : 0u);
        if (c.command) {
            EXPECT_EQ(posted[0].hwnd, g_dialog);
            EXPECT_EQ(posted[0].message, (UINT)WM_COMMAND);
            EXPECT_EQ(posted[0].wParam, c.command);
            EXPECT_EQ(posted[0].lParam, 0);
        }
    }
}

// Thirty runs, each cancelled at a random position (or not at all): every run ends reported,
// with Start given back and the destination holding the blocks written.
TEST(Dialog, ManyRunsCancelledAtRandomBlocks)
{
    Scene s;
    s.Split("102400"); // position k after block k
    Watch watch(true);
    App app(s);
    watch.progress = app.Control(IDC_PROGRESS).window;
    std::mt19937 random(2024);
    for (int run = 0; run < 30; run++) {
        int at = (int)(random() % 115);
        SCOPED_TRACE(at);
        remove(s.dest.c_str());
        ShimClearProgressHistory();
        watch.at = at;
        app.Press(IDC_START);
        app.ExpectReported(at < 100 ? kStopped : kFinished);
        s.ExpectDestination(std::min(at + 1, 100) * 1024, at < 100 ? kNow : kStored);
    }
    watch.at = -1;
    app.Close();
}

} // namespace
