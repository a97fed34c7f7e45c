// Text the tool did not write itself (a server's ETag, Last-Modified or
// status line, a URL, a path, libcurl's reason) made safe to print on a
// terminal and inside tab-separated columns.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// `text` with every byte a terminal or a column would act on written as an
// escape, so that what is printed is one line of visible characters:
//   backslash           \\   (so that an escape is never ambiguous)
//   tab, LF, CR         \t \n \r
//   other bytes < 0x20  \xHH (ESC is \x1b), and 0x7f as \x7f
//   C1 controls         \xHH for each byte: U+0080..U+009F in UTF-8
//                       (C2 80..C2 9F), and a byte 0x80..0x9f that is not
//                       part of a valid UTF-8 sequence (a terminal reading
//                       8-bit text takes 0x9b for CSI)
// Every other byte is kept: valid UTF-8 reads as it was written, and other
// bytes >= 0xa0 are not controls in any encoding a terminal reads.
std::string Printable(std::string_view text);

}  // namespace cli
