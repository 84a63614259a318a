// tests/support/program.cpp: the scene of the tests that run the program: sets made by
// parcelon-split, scripted message boxes named after the program's boxes, runs of the
// start-up load and the restore worker.
#include "support/program.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "format/crc16.h"
#include "format/crc64.h"
#include "format/piece.h"
#include "format/piecewrite.h"
#include "resource.h"
#include "restore/messages.h"
#include "restore/worker.h"
#include "shim_testing.h"
#include "ui/dialog.h"
#include "ui/startup.h"
#include "ui/state.h"

const char kStampText[] = "2024-03-15T13:45:30";

namespace {

// The program's message boxes by their identifiers, as the user sees them; %s stands for a
// path. A box is named by its identifier, and only when it shows exactly these bytes.
struct KnownBox {
    const char *name;
    MessageId id;
    const char *text, *caption;
    UINT type;
};
const KnownBox kKnownBoxes[] = {
    {"W1", kMsgRunOwnUnopenable, "ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "Parcelon 復元確認", 0x20},
    {"W2", kMsgOverwrite, "%s は\nすでに存在しますが、上書きしてもよろしいですか", "Parcelon  上書き確認", 0x24},
    {"W3", kMsgCannotCreate, "復元ファイルを作成できません\nファイルパス名を確認してください。", "Parcelon", 0x30},
    {"W4", kMsgCutShort, "ファイルの終端が欠けてします。\n[%s]", "Parcelon", 0x10},
    {"W5", kMsgBadCheck, "ファイルの内容が正しくありません。強行しますか？\n[%s]", "Parcelon 復元確認", 0x34},
    {"W6", kMsgBadLastCheck, "ファイルの内容が正しくありません。\n[%s]", "Parcelon 復元確認", 0x30},
    {"N1", kMsgNextFile, "次に %s を読み込みます。", "Parcelon 次のファイル", 0x41},
    {"N2", kMsgNoMarker, "分割ファイルが異常です。", "Parcelon", 0x35},
    {"N3", kMsgForeign, "「%s」は、\n現在復元中のファイルとは異なります。強行しますか？", "Parcelon 復元確認", 0x34},
    {"DiskFull", kMsgWriteFailed, "復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]", "Parcelon", 0x10},
    {"Unopenable", kMsgOwnUnopenable, "ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "Parcelon 復元確認", 0x30},
    {"Damaged", kMsgDamaged, "ファイルが壊れています。\n[%s]", "Parcelon", 0x10},
    {"NoScreen", kMsgScreenFailed, "画面の初期化に失敗しました。", "Parcelon 自己復元", 0x10},
    {"NoStart", kMsgNoStart, "復元を開始できませんでした。", "Parcelon", 0x10},
    {"NoRoom", kMsgNoRoom, "復元先の空き容量が不足しています。強行しますか？\n必要な容量 %sBytes\n空き容量 %sBytes\n[%s]",
     "Parcelon 復元確認", 0x34},
    {"Fat", kMsgFatLimit, "復元先のドライブには 4GB 以上のファイルを保存できません。\n別のドライブを指定してください。\n[%s]", "Parcelon",
     0x30},
    {"R1", kMsgRebuildMissing, "「%s」が見つかりません。\n回復ファイルから作り直しますか？", "Parcelon 復元確認", 0x34},
    {"R2", kMsgRebuildUnusable, "ファイルの内容が正しくありません。\n回復ファイルから作り直しますか？\n[%s]", "Parcelon 復元確認", 0x34},
    {"R3", kMsgRebuildFailed, "回復ファイルから作り直せませんでした。\n[%s]", "Parcelon", 0x10},
};

// Matches a box's text against a known text whose every %s stands for any text; the
// texts that stood in for them, in order.
bool MatchBoxText(const std::string &known, const std::string &text, std::vector<std::string> *fills)
{
    fills->clear();
    size_t k = 0, t = 0;
    for (;;) {
        size_t hole = known.find("%s", k);
        const std::string fixed = known.substr(k, hole == std::string::npos ? std::string::npos : hole - k);
        if (text.compare(t, fixed.size(), fixed) != 0)
            return false;
        t += fixed.size();
        if (hole == std::string::npos)
            return t == text.size();
        k = hole + 2;
        size_t nextHole = known.find("%s", k);
        const std::string next = known.substr(k, nextHole == std::string::npos ? std::string::npos : nextHole - k);
        size_t end = nextHole == std::string::npos ? (text.size() >= t + next.size() ? text.size() - next.size()
                                                                                      : std::string::npos)
                                                   : text.find(next, t);
        if (end == std::string::npos)
            return false;
        fills->push_back(text.substr(t, end - t));
        t = end;
    }
}

void SetModifiedSeconds(const std::string &path, long long seconds)
{
    struct timespec times[2] = {{(time_t)seconds, 0}, {(time_t)seconds, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

} // namespace

Scene::Scene()
{
    ShimReset();
    g_runState.store(kRunIdle);
    ShimSetMessageBoxHandler(Handle, this);
    dest = dir.File("restored.bin");
    runStart_ = (long long)time(NULL);
}

Scene::~Scene()
{
    ShimReset();
    g_runState.store(kRunIdle);
}

void Scene::Split(const std::string &counts, const std::vector<std::string> &options)
{
    long long size = 0;
    std::istringstream parts(counts);
    for (std::string part; std::getline(parts, part, ',');)
        size += atoll(part.c_str());
    content = SomeBytes((size_t)size, 7);
    std::string input = dir.File("input.bin");
    WriteFileBytes(input, content);
    std::vector<std::string> args = {"--stub", MakeStub(dir), "--out", dir.Path(), "--base", "Data", "--data-counts", counts};
    auto given = [&](const char *option) {
        for (const std::string &o : options)
            if (o.rfind(option, 0) == 0)
                return true;
        return false;
    };
    if (!given("--name"))
        args.insert(args.end(), {"--name", "sample.txt"});
    if (!given("--time") && !given("--no-time"))
        args.insert(args.end(), {"--time", kStampText});
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(input);
    SplitRun run = RunSplit(args);
    ASSERT_EQ(run.status, 0) << run.errors;
    exe = dir.File("Data.exe");
}

std::string Scene::Piece(int n) const
{
    char extension[16];
    snprintf(extension, sizeof extension, "d%02d", n);
    size_t slash = exe.rfind('/'), dot = exe.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? exe.substr(0, dot + 1) + extension
                                                                                  : exe + "." + extension;
}

namespace {

// Where a piece file's header begins and its data begin, and its data count, as the
// program's own header reads find them.
struct PieceBytes {
    size_t header = 0, data = 0;
    long long count = 0;
    FirstPieceHeader first = {};
    LaterPieceHeader later = {};
};

PieceBytes FindPieceBytes(const std::string &path, bool first)
{
    PieceBytes piece;
    OpenedFile file(path);
    if (first) {
        piece.header = kFirstPieceOffset;
        EXPECT_TRUE(ReadFirstPieceHeader(file.Handle(), &piece.first)) << path;
        piece.data = (size_t)file.Position();
        piece.count = piece.first.pieceLength - (long long)(piece.data - piece.header);
        return piece;
    }
    const Bytes bytes = ReadFileBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    piece.header = text.find(kPieceMarker);
    EXPECT_NE(piece.header, std::string::npos) << path;
    file.Seek((long long)piece.header + kPieceMarkerLength);
    ReadLaterPieceStart(file.Handle(), &piece.later);
    EXPECT_TRUE(ReadLaterPieceRecords(file.Handle(), &piece.later)) << path;
    piece.data = (size_t)file.Position();
    piece.count = piece.later.remaining;
    return piece;
}

} // namespace

void Scene::AddDataChecks(int wrong)
{
    for (int n = 1;; n++) {
        const std::string path = n == 1 ? exe : Piece(n);
        if (n > 1 && access(path.c_str(), F_OK) != 0)
            break;
        const PieceBytes piece = FindPieceBytes(path, n == 1);
        const Bytes bytes = ReadFileBytes(path);
        Crc64 crc = Crc64Compute(0, bytes.data() + piece.data, (size_t)piece.count) + (n == wrong ? 1 : 0);
        BYTE payload[kDataCheckLength];
        for (int i = 0; i < kDataCheckLength; i++)
            payload[i] = (BYTE)(crc >> (8 * i));
        const HeaderRecord record = {kDataCheckTag, kDataCheckLength, payload};
        BYTE header[1024];
        long long pieceLength = 0;
        int length;
        if (n == 1) {
            FirstPieceFields fields = {};
            fields.totalSize = piece.first.totalSize;
            fields.dataCount = piece.count;
            memcpy(fields.setId, piece.first.setId, 2);
            fields.name = piece.first.name;
            fields.nameLength = (int)strlen(piece.first.name);
            fields.hasTimeStamp = TRUE;
            fields.year = piece.first.year;
            fields.packedTime = piece.first.packedTime;
            fields.extraRecords = &record;
            fields.extraRecordCount = 1;
            length = BuildFirstPieceHeader(header, sizeof header, &fields, &pieceLength);
        } else {
            LaterPieceFields fields = {};
            fields.dataCount = piece.count;
            memcpy(fields.setId, piece.later.setId, 2);
            fields.records = &record;
            fields.recordCount = 1;
            length = BuildLaterPieceHeader(header, sizeof header, &fields, &pieceLength);
        }
        ASSERT_GT(length, 0) << path;
        Bytes out(bytes.begin(), bytes.begin() + (long)piece.header);
        out.insert(out.end(), header, header + length);
        out.insert(out.end(), bytes.begin() + (long)piece.data, bytes.end());
        WriteFileBytes(path, out);
    }
}

void Scene::BlindChange(int n, long offset)
{
    const std::string path = n == 1 ? exe : Piece(n);
    const PieceBytes piece = FindPieceBytes(path, n == 1);
    ASSERT_LE(offset + 3, piece.count) << path;
    long long before = 0;
    for (int k = 1; k < n; k++)
        before += FindPieceBytes(k == 1 ? exe : Piece(k), k == 1).count;
    Bytes bytes = ReadFileBytes(path);
    BYTE *data = bytes.data() + piece.data;
    const WORD crc = Crc16Compute(0, data, (size_t)piece.count);
    const BYTE change[3] = {0x01, 0x10, 0x21};
    for (int i = 0; i < 3; i++) {
        data[offset + i] ^= change[i];
        content.at((size_t)(before + offset + i)) ^= change[i];
    }
    ASSERT_EQ(Crc16Compute(0, data, (size_t)piece.count), crc) << "the change is not hidden from the CRC-16";
    WriteFileBytes(path, bytes);
}

void Scene::Answer(const std::vector<int> &answers)
{
    std::lock_guard<std::mutex> hold(lock_);
    answers_.assign(answers.begin(), answers.end());
}

int Scene::Handle(void *context, HWND owner, const char *text, const char *caption, UINT type)
{
    Scene *scene = (Scene *)context;
    // The program names the box it shows just before it shows it, on this thread.
    const LONG id = g_shownMessage;
    if (scene->onBox)
        scene->onBox(scene->Name(ShimMessageBox{owner, text, caption, type, 0}, id));
    std::lock_guard<std::mutex> hold(scene->lock_);
    scene->shown_.push_back(id);
    if (!scene->answers_.empty()) {
        int answer = scene->answers_.front();
        scene->answers_.pop_front();
        return answer;
    }
    UINT buttons = type & 0xF;
    return buttons == MB_YESNO ? IDNO : buttons == MB_OK ? IDOK : IDCANCEL;
}

std::string Scene::Name(const ShimMessageBox &box, LONG id) const
{
    const std::pair<const char *, std::string> paths[] = {
        {"exe", exe}, {"dest", dest}, {"d02", Piece(2)}, {"d03", Piece(3)}, {"d04", Piece(4)}, {"d00", Piece(0)}};
    std::string owner = box.owner == NULL ? "@0" : "";
    // A path the scene knows shows as its name in brackets, any other text in parentheses.
    for (const KnownBox &known : kKnownBoxes) {
        std::vector<std::string> fills;
        if (known.id != id || box.caption != known.caption || box.type != known.type ||
            !MatchBoxText(known.text, box.text, &fills))
            continue;
        std::string name = known.name;
        for (const std::string &fill : fills) {
            std::string shown = "(" + fill + ")";
            for (const auto &path : paths)
                if (fill == path.second)
                    shown = std::string("[") + path.first + "]";
            name += shown;
        }
        return name + owner;
    }
    char type[16];
    snprintf(type, sizeof type, "%#x", box.type);
    return "unknown box " + std::to_string(id) + ": " + Utf8FromCp932(box.caption) + " " + type + " " +
           Utf8FromCp932(box.text) + owner;
}

std::vector<std::string> Scene::Boxes() const
{
    std::vector<std::string> names;
    const std::vector<ShimMessageBox> boxes = ShimMessageBoxes();
    std::lock_guard<std::mutex> hold(lock_);
    // The stand-in's log may have been cleared meanwhile: its boxes are the last shown.
    const size_t skipped = shown_.size() >= boxes.size() ? shown_.size() - boxes.size() : 0;
    for (size_t i = 0; i < boxes.size(); i++)
        names.push_back(Name(boxes[i], skipped + i < shown_.size() ? shown_[skipped + i] : -1));
    return names;
}

void Scene::OpenDialog()
{
    g_instance = (HINSTANCE)0x400000;
    g_dialog = CreateDialogParamA(g_instance, MAKEINTRESOURCEA(IDD_RESTORE), NULL, DialogProc, 0);
    ASSERT_NE(g_dialog, (HWND)NULL);
}

void Scene::Load()
{
    ShimSetModulePath(exe.c_str());
    LoadRestoreInfo();
    EXPECT_EQ(ShimOpenFileCount(), 0) << "the start-up load left a file open";
}

LONG Scene::Run()
{
    SetDlgItemTextA(g_dialog, IDC_DESTINATION, dest.c_str());
    if (beforeRun)
        beforeRun();
    runStart_ = (long long)time(NULL);
    ShimSetObserver(Observe, this);
    g_runState.store(kRunRunning);
    RestoreWorker(NULL);
    ShimSetObserver(nullptr, nullptr);
    EXPECT_EQ(ShimOpenFileCount(), 0) << "the run left a file open";
    return g_runState.load();
}

void Scene::CancelAt(int position)
{
    cancelAt_.store(position);
}

// The stand-in's observer: after a position was sent, the user asks to cancel once it has
// reached the one CancelAt named, as the Cancel button does.
void Scene::Observe(void *context, HWND window)
{
    Scene *scene = (Scene *)context;
    std::vector<int> sent = ShimProgressHistory();
    int at = scene->cancelAt_.load();
    if (at >= 0 && window == GetDlgItem(g_dialog, IDC_PROGRESS) && !sent.empty() && sent.back() >= at) {
        LONG running = kRunRunning;
        g_runState.compare_exchange_strong(running, kRunCancelRequested);
    }
}

std::string Scene::Text(int id) const
{
    char text[2048];
    GetDlgItemTextA(g_dialog, id, text, sizeof text);
    return text;
}

void Scene::PutOldFile() const
{
    WriteFileBytes(dest, BytesOf("old"));
    SetModifiedSeconds(dest, kOldSeconds);
}

void Scene::ExpectDestination(long long kept, Stamp stamp) const
{
    struct stat info;
    bool exists = stat(dest.c_str(), &info) == 0;
    if (kept == kAbsent) {
        EXPECT_FALSE(exists) << dest << " exists";
        return;
    }
    ASSERT_TRUE(exists) << dest << " is missing";
    if (kept == kFolder) {
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        return;
    }
    Bytes bytes = ReadFileBytes(dest);
    if (kept == kOldFile) {
        EXPECT_EQ(bytes, BytesOf("old")) << "the old file was changed";
        EXPECT_EQ(info.st_mtime, kOldSeconds);
        return;
    }
    EXPECT_EQ((long long)bytes.size(), kept);
    EXPECT_TRUE(bytes == Bytes(content.begin(), content.begin() + std::min<long long>(kept, content.size())))
        << "the destination's bytes differ from the split file's";
    if (stamp == kStored) {
        EXPECT_EQ(info.st_mtime, kStampSeconds);
        EXPECT_EQ(info.st_mtim.tv_nsec, 0);
    } else {
        EXPECT_GE(info.st_mtime, runStart_ - 1);
        EXPECT_LE(info.st_mtime, (long long)time(NULL) + 1);
    }
}

void TruncateFile(const std::string &path, long long size)
{
    EXPECT_EQ(truncate(path.c_str(), (off_t)size), 0) << path;
}

bool WaitFor(const std::function<bool()> &condition, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string TestName(const std::string &label)
{
    std::string name;
    bool upper = true;
    for (char c : label) {
        if (isalnum((unsigned char)c)) {
            name += upper ? (char)toupper((unsigned char)c) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}
