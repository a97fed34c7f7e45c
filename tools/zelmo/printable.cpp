#include "printable.h"

namespace cli {
namespace {

// The length of the valid UTF-8 sequence of two to four bytes starting at
// `at`, or 0 when there is none (a lone, overlong, surrogate or too large
// sequence).
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf;  // the bounds of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;  // overlong below
        else if (lead == 0xed)
            high = 0x9f;  // surrogates above
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;  // beyond U+10FFFF above
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xc0) != 0x80)
            return 0;
    return length;
}

void AppendHex(std::string &to, unsigned char byte)
{
    static const char kDigits[] = "0123456789abcdef";
    to += "\\x";
    to += kDigits[byte >> 4];
    to += kDigits[byte & 0xf];
}

}  // namespace

std::string Printable(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            const std::size_t length = Utf8SequenceAt(text, at);
            if (length == 2 && byte == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f) {
                AppendHex(shown, byte);  // a C1 control in UTF-8
                AppendHex(shown, static_cast<unsigned char>(text[at + 1]));
            } else if (length != 0) {
                shown.append(text, at, length);
            } else if (byte <= 0x9f) {
                AppendHex(shown, byte);  // a C1 control in 8-bit text
            } else {
                shown += static_cast<char>(byte);
            }
            at += length != 0 ? length : 1;
            continue;
        }
        switch (byte) {
        case '\\': shown += "\\\\"; break;
        case '\t': shown += "\\t"; break;
        case '\n': shown += "\\n"; break;
        case '\r': shown += "\\r"; break;
        default:
            if (byte < 0x20 || byte == 0x7f)
                AppendHex(shown, byte);
            else
                shown += static_cast<char>(byte);
        }
        ++at;
    }
    return shown;
}

}  // namespace cli
