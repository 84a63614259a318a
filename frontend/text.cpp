// frontend/text.cpp: code page 932 to UTF-8, printable texts, widths on the screen and the
// one-line path editor.
#include "frontend/text.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>

#include "format/text.h"

namespace {

const iconv_t kNoConverter = (iconv_t)-1;
const char kReplacement = '?';

iconv_t g_converter = kNoConverter; // opened once by OpenTextConverter; main thread only

// The program's texts are code page 932 where the compiler writes them so (g++ with
// -fexec-charset). A compiler that keeps them in UTF-8 (clang) leaves the set's data (the
// stored name) and the stand-in's template texts in code page 932 beside them.
const bool kProgramTextsInUtf8 = (unsigned char)"復"[0] == 0xE5;

// The length of the UTF-8 character at text[at] and its code point. A byte that starts no
// well-formed character (overlong forms and surrogates included) has length 1, *valid false.
size_t NextChar(const std::string &text, size_t at, uint32_t *codePoint, bool *valid)
{
    const unsigned char lead = (unsigned char)text[at];
    *codePoint = lead;
    *valid = true;
    if (lead < 0x80)
        return 1;
    size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    static const uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t value = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; i++) {
        const unsigned char c = at + i < text.size() ? (unsigned char)text[at + i] : 0;
        if ((c & 0xC0) != 0x80) {
            length = 0;
            break;
        }
        value = value << 6 | (c & 0x3F);
    }
    if (length == 0 || value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *valid = false;
        return 1;
    }
    *codePoint = value;
    return length;
}

bool IsUnsafe(uint32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

int CharWidth(uint32_t c)
{
    if ((c >= 0x300 && c <= 0x36F) || (c >= 0x200B && c <= 0x200D))
        return 0;
    const bool wide = c >= 0x1100 &&
                      (c <= 0x115F || c == 0x2329 || c == 0x232A || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                       (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE6F) ||
                       (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                       (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD));
    return wide ? 2 : 1;
}

// Converts a stretch of code page 932; with `strict` the first bad byte fails it, else
// every bad byte becomes '?'.
bool Convert(const std::string &text, bool strict, std::string *out)
{
    if (g_converter == kNoConverter) {
        for (char c : text) {
            if ((unsigned char)c >= 0x80 && strict)
                return false;
            *out += (unsigned char)c >= 0x80 ? kReplacement : c;
        }
        return true;
    }
    iconv(g_converter, NULL, NULL, NULL, NULL);
    char *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    char buffer[256];
    while (inLeft > 0) {
        char *to = buffer;
        size_t toLeft = sizeof buffer;
        const size_t result = iconv(g_converter, &in, &inLeft, &to, &toLeft);
        out->append(buffer, (size_t)(to - buffer));
        if (result != (size_t)-1 || errno == E2BIG)
            continue;
        if (strict)
            return false;
        // EILSEQ or EINVAL (a lead byte at the end): drop one byte and go on.
        *out += kReplacement;
        in++;
        inLeft--;
        iconv(g_converter, NULL, NULL, NULL, NULL);
    }
    return true;
}

// Whether a UTF-8 program text holds a character of its own at text[at]: the program's
// Japanese is in U+3000 to U+9FFF and U+FF00 to U+FFEF, three bytes each. Code page 932
// bytes rarely form such a sequence; other well-formed ones they form more often.
size_t Utf8ProgramChar(const std::string &text, size_t at)
{
    uint32_t c;
    bool valid;
    const size_t length = NextChar(text, at, &c, &valid);
    return kProgramTextsInUtf8 && valid && ((c >= 0x3000 && c <= 0x9FFF) || (c >= 0xFF00 && c <= 0xFFEF)) ? length
                                                                                                           : 0;
}

// The length of the program text's character at text[at].
size_t ProgramCharLength(const std::string &text, size_t at)
{
    const size_t length = Utf8ProgramChar(text, at);
    if (length > 0)
        return length;
    return IsLeadByte((unsigned char)text[at]) && at + 1 < text.size() ? 2 : 1;
}

// Converts a stretch of program text: code page 932, or where the program's texts are
// UTF-8, UTF-8 with code page 932 data in between.
void ConvertProgramText(const std::string &text, std::string *out)
{
    if (!kProgramTextsInUtf8) {
        Convert(text, false, out);
        return;
    }
    std::string data;
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8ProgramChar(text, at);
        if (length > 0) {
            Convert(data, false, out);
            data.clear();
            out->append(text, at, length);
            at += length;
        } else {
            // One byte at a time, ASCII included: it may be a trail byte of the data.
            data += text[at++];
        }
    }
    Convert(data, false, out);
}

} // namespace

bool OpenTextConverter(void)
{
    g_converter = iconv_open("UTF-8", "CP932");
    if (g_converter == kNoConverter)
        g_converter = iconv_open("UTF-8", "SHIFT_JIS");
    return g_converter != kNoConverter;
}

std::string Utf8FromProgram(const std::string &text, const std::vector<PathInText> &paths)
{
    std::string out, stretch;
    size_t at = 0;
    while (at < text.size()) {
        // Paths are matched at character boundaries only, never at a trail byte.
        const PathInText *path = nullptr;
        for (const PathInText &candidate : paths)
            if (!candidate.first.empty() && text.compare(at, candidate.first.size(), candidate.first) == 0 &&
                (!path || candidate.first.size() > path->first.size()))
                path = &candidate;
        if (path) {
            ConvertProgramText(stretch, &out);
            stretch.clear();
            out += path->second;
            at += path->first.size();
            continue;
        }
        const size_t length = ProgramCharLength(text, at);
        stretch.append(text, at, length);
        at += length;
    }
    ConvertProgramText(stretch, &out);
    return out;
}

bool Utf8FromCp932(const std::string &text, std::string *utf8)
{
    utf8->clear();
    return Convert(text, true, utf8);
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        uint32_t c;
        bool valid;
        const size_t length = NextChar(text, at, &c, &valid);
        if (c == '\n' || (valid && !IsUnsafe(c)))
            out.append(text, at, length);
        else if (c == '\t')
            out += ' ';
        else if (c != '\r')
            out += kReplacement;
        at += length;
    }
    return out;
}

int TextWidth(const std::string &text)
{
    int width = 0;
    for (size_t at = 0; at < text.size();) {
        uint32_t c;
        bool valid;
        at += NextChar(text, at, &c, &valid);
        width += CharWidth(c);
    }
    return width;
}

std::string FitWidth(const std::string &text, int columns)
{
    int width = 0;
    size_t at = 0;
    while (at < text.size()) {
        uint32_t c;
        bool valid;
        const size_t length = NextChar(text, at, &c, &valid);
        if (width + CharWidth(c) > columns)
            break;
        width += CharWidth(c);
        at += length;
    }
    return text.substr(0, at);
}

std::vector<std::string> WrapLines(const std::string &text, int columns)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        do {
            std::string part = FitWidth(line, columns);
            if (part.empty() && !line.empty())
                part = line.substr(0, 1); // narrower than one character: show it anyway
            lines.push_back(part);
            line.erase(0, part.size());
        } while (!line.empty());
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

std::string Grouped(long long value)
{
    const unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    const std::string digits = std::to_string(magnitude);
    std::string out = value < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

void LineEditor::Set(const std::string &text)
{
    text_ = text;
    cursor_ = text_.size();
    scroll_ = 0;
}

void LineEditor::Insert(const std::string &bytes)
{
    text_.insert(cursor_, bytes);
    cursor_ += bytes.size();
}

void LineEditor::Left()
{
    size_t previous = 0;
    for (size_t at = 0; at < cursor_;) {
        uint32_t c;
        bool valid;
        previous = at;
        at += NextChar(text_, at, &c, &valid);
    }
    cursor_ = previous;
}

void LineEditor::Right()
{
    if (cursor_ < text_.size()) {
        uint32_t c;
        bool valid;
        cursor_ += NextChar(text_, cursor_, &c, &valid);
    }
}

void LineEditor::Backspace()
{
    const size_t end = cursor_;
    Left();
    text_.erase(cursor_, end - cursor_);
}

void LineEditor::Delete()
{
    const size_t start = cursor_;
    Right();
    text_.erase(start, cursor_ - start);
    cursor_ = start;
}

std::string LineEditor::View(int columns, int *cursorColumn)
{
    if (scroll_ > cursor_)
        scroll_ = cursor_;
    // One column stays free behind the text for the cursor.
    while (TextWidth(Printable(text_.substr(scroll_, cursor_ - scroll_))) > columns - 1 && scroll_ < cursor_) {
        uint32_t c;
        bool valid;
        scroll_ += NextChar(text_, scroll_, &c, &valid);
    }
    *cursorColumn = TextWidth(Printable(text_.substr(scroll_, cursor_ - scroll_)));
    std::string shown;
    for (size_t at = scroll_; at < text_.size();) {
        uint32_t c;
        bool valid;
        const size_t length = NextChar(text_, at, &c, &valid);
        const std::string piece = Printable(text_.substr(at, length));
        if (TextWidth(shown) + TextWidth(piece) > columns)
            break;
        shown += piece;
        at += length;
    }
    return shown;
}
