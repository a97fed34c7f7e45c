// Pieces of HttpDownload_SYNC, the GET into the download cache.
#pragma once

#include <cstddef>
#include <string>

namespace zelmo::http {

// libcurl write function of the download: writes the chunk to the stream
// `userdata` and returns what fwrite returns, so a short write (a full disk)
// makes libcurl end the transfer with an error.
std::size_t FileWriteCallback(char *data, std::size_t size, std::size_t count, void *userdata);

// Reads a whole file in binary mode into `text`, cut at its first NUL byte.
// False, with `text` untouched, when the file cannot be opened or read, is
// empty, or memory for it cannot be had.
bool ReadWholeFile(const char *path, std::string &text);

// The If-Modified-Since line for a stored header: the text after the colon of
// its first "Last-Modified:" (in any letter case) up to the next CR or LF,
// leading blanks kept. Empty when the header has no such field, the field has
// no CR or LF after it, or the value holds a control character other than tab.
std::string ConditionalLine(const std::string &header);

// Sets the last-write time of the existing file `path` to now; its creation
// and last-access times stay as they are.
bool SetFileTimeToNow(const char *path);

}  // namespace zelmo::http
