// restore/messages.cpp: the catalogue of the program's message boxes and the call that
// shows them.
#include "restore/messages.h"

#include <string.h>

#include "restore/state.h"

const MessageText kMessages[kMessageCount] = {
    {"画面の初期化に失敗しました。", "Parcelon 自己復元", MB_ICONERROR | MB_OK},
    {"ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "Parcelon 復元確認", MB_ICONWARNING | MB_OK},
    {"ファイルが壊れています。\n[%s]", "Parcelon", MB_ICONERROR | MB_OK},
    {"ファイル情報の取得に失敗しました。", "Parcelon", MB_ICONERROR | MB_OK},
    {"復元を開始できませんでした。", "Parcelon", MB_ICONERROR | MB_OK},
    {"ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "Parcelon 復元確認", MB_ICONQUESTION | MB_OK},
    {"%s は\nすでに存在しますが、上書きしてもよろしいですか", "Parcelon  上書き確認", MB_ICONQUESTION | MB_YESNO},
    {"復元ファイルを作成できません\nファイルパス名を確認してください。", "Parcelon", MB_ICONWARNING | MB_OK},
    {"復元先のドライブには 4GB 以上のファイルを保存できません。\n別のドライブを指定してください。\n[%s]", "Parcelon",
     MB_ICONWARNING | MB_OK},
    {"復元先の空き容量が不足しています。強行しますか？\n必要な容量 %sBytes\n空き容量 %sBytes\n[%s]", "Parcelon 復元確認",
     MB_ICONWARNING | MB_YESNO},
    {"復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]", "Parcelon",
     MB_ICONERROR | MB_OK},
    {"ファイルの終端が欠けてします。\n[%s]", "Parcelon", MB_ICONERROR | MB_OK},
    {"ファイルの内容が正しくありません。強行しますか？\n[%s]", "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO},
    {"ファイルの内容が正しくありません。\n[%s]", "Parcelon 復元確認", MB_ICONWARNING | MB_OK},
    {"次に %s を読み込みます。", "Parcelon 次のファイル", MB_ICONINFORMATION | MB_OKCANCEL},
    {"分割ファイルが異常です。", "Parcelon", MB_ICONWARNING | MB_RETRYCANCEL},
    {"「%s」は、\n現在復元中のファイルとは異なります。強行しますか？", "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO},
    {"「%s」が見つかりません。\n回復ファイルから作り直しますか？", "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO},
    {"ファイルの内容が正しくありません。\n回復ファイルから作り直しますか？\n[%s]", "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO},
    {"回復ファイルから作り直せませんでした。\n[%s]", "Parcelon", MB_ICONERROR | MB_OK},
};

volatile LONG g_shownMessage = -1;

int ShowMessage(HWND owner, MessageId id, const char *a, const char *b, const char *c)
{
    const MessageText &message = kMessages[id];
    const char *text = message.text;
    // A text without anything to fill is shown as it stands: the text buffer may hold what
    // its user still needs.
    if (strchr(text, '%') != NULL) {
        wsprintfA(g_textBuffer, text, a, b, c);
        text = g_textBuffer;
    }
    g_shownMessage = id;
    return MessageBoxA(owner, text, message.caption, message.type);
}
