#include "http/response.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <curl/curl.h>

#include "header/fields.h"

namespace zelmo::http {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// Appends `n` bytes at `*length` when they leave at least one byte of
// `capacity` unused. Written so that no length a caller leaves behind can
// make the sum wrap around.
void AppendStrictly(char *to, unsigned int capacity, unsigned int *length, const char *data, std::size_t n)
{
    if (to == nullptr || *length >= capacity || n >= capacity - *length)
        return;
    std::memcpy(to + *length, data, n);
    *length += static_cast<unsigned int>(n);
}

// Removes everything from the start of `buffer` up to and including the
// first blank line at or after `from`; false, with nothing changed, when
// there is none among the stored bytes.
bool StripThrough(HttpResponseBuffer *response, unsigned int from)
{
    char *buffer = response->buffer;
    const unsigned int length = std::min(response->length, response->capacity);
    if (buffer == nullptr || from > length)
        return false;
    const char *end = std::search(buffer + from, buffer + length, kHeaderEnd.begin(), kHeaderEnd.end());
    if (end == buffer + length)
        return false;
    const auto header = static_cast<unsigned int>(end - buffer + kHeaderEnd.size());
    response->length = length - header;
    std::memmove(buffer, buffer + header, response->length);
    buffer[response->length] = '\0';
    return true;
}

}  // namespace

std::size_t ResponseWriteCallback(char *data, std::size_t size, std::size_t count, void *userdata)
{
    const std::size_t n = size * count;
    auto *response = static_cast<HttpResponseBuffer *>(userdata);
    if (response == nullptr)
        return n;
    AppendStrictly(response->buffer, response->capacity, &response->length, data, n);
    if (response->file != nullptr)
        std::fwrite(data, size, count, response->file);
    AppendStrictly(response->rawBuffer, response->rawCapacity, &response->rawLength, data, n);
    return n;
}

bool StripResponseHeader(HttpResponseBuffer *response)
{
    return StripThrough(response, 0);
}

void FinalResponse::Watch(void *curl)
{
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &FinalResponse::OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
}

// libcurl hands each header line to the write function first and then to
// this header function, so a status line that was stored is the tail of
// `buffer` when it gets here.
std::size_t FinalResponse::OnHeader(char *data, std::size_t size, std::size_t count, void *self)
{
    const std::size_t n = size * count;
    auto *final = static_cast<FinalResponse *>(self);
    const HttpResponseBuffer *response = final->response_;
    if (n < 5 || std::memcmp(data, "HTTP/", 5) != 0 || response->buffer == nullptr)
        return n;
    const unsigned int length = std::min(response->length, response->capacity);
    final->located_ = length >= n && std::memcmp(response->buffer + length - n, data, n) == 0;
    final->start_ = final->located_ ? static_cast<unsigned int>(length - n) : 0;
    return n;
}

bool FinalResponse::TakeOkBody()
{
    const HttpResponseBuffer *response = response_;
    if (response->buffer == nullptr || !located_)
        return false;
    const unsigned int length = std::min(response->length, response->capacity);
    if (start_ > length || !header::StartsWithOkStatus(std::string_view(response->buffer + start_, length - start_)))
        return false;
    return StripThrough(response_, start_);
}

}  // namespace zelmo::http
