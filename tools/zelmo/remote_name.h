// `zelmo get -O`: the file a URL's body is written to, named after the URL.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// The last segment of `url`'s path (query and fragment left out, percent
// escapes kept as they stand), when it is safe as a file name in a
// directory of the user's: not empty (a URL ending in "/", or with no path),
// not made of dots and spaces only ("." and ".." among them), without '/',
// '\\' or ':' (a separator, a drive or a stream on Windows), without a
// control byte (below 0x20, and 0x7f), and not a device name of Windows
// (CON, PRN, AUX, NUL, COM1..COM9, LPT1..LPT9, with any extension, in any
// case). Otherwise empty, with the reason in `why`.
std::string RemoteName(std::string_view url, std::string &why);

// `name` placed in `directory` (empty: the current directory).
std::string InDirectory(const std::string &directory, const std::string &name);

}  // namespace cli
