// Partial bodies kept for a resume: their files, their record, and the
// judgement of a 206 that claims to continue one.
#include "fetch/partial.h"

#include <cstdio>
#include <memory>

#include "fetch/rules.h"
#include "platform/platform.h"

namespace zelmo::fetch {
namespace {

std::optional<std::string> ReadSmallFile(const std::string &path, std::size_t limit)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(platform::OpenForReading(path.c_str()), std::fclose);
    if (!file)
        return std::nullopt;
    std::string text;
    char chunk[8192];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
        if (text.size() > limit)
            return std::nullopt;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return text;
}

bool WriteSmallFile(const std::string &path, std::string_view text)
{
    std::FILE *file = platform::OpenFile(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool wrote = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && wrote;
}

bool Place(const std::string &from, const std::string &to)
{
    return platform::ReplaceFileByRename(from.c_str(), to.c_str()) == platform::Replaced::Done;
}

std::optional<std::int64_t> Length(const std::optional<std::string> &value)
{
    if (!value || value->empty() || value->size() > 18)
        return std::nullopt;
    std::int64_t n = 0;
    for (const char c : *value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

int Status(std::string_view block)
{
    if (block.size() < 12 || block.compare(0, 5, "HTTP/") != 0)
        return 0;
    const std::size_t space = block.find(' ');
    if (space == std::string_view::npos || space + 4 > block.size())
        return 0;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (block[i] < '0' || block[i] > '9')
            return 0;
        code = code * 10 + (block[i] - '0');
    }
    return code;
}

bool HasControl(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

}  // namespace

PartialFiles PartialFilesOf(const cache::EntryFiles &entry)
{
    return PartialFiles{entry.body + "p", entry.body + "ph", entry.body + "pm"};
}

std::string ResumeValidatorOf(std::string_view block)
{
    if (Status(block) != 200)
        return {};
    const std::optional<std::int64_t> length = Length(FieldValue(block, "Content-Length"));
    if (!length || *length <= 0)
        return {};
    const Validators v = ValidatorsOf(block);
    std::string chosen = !v.etag.empty() && !v.weak ? v.etag : v.lastModified;
    return HasControl(chosen) ? std::string() : chosen;
}

bool DropPartial(const PartialFiles &files)
{
    bool ok = true;
    for (const std::string *path : {&files.meta, &files.header, &files.body})
        if (platform::PathExists(path->c_str()) && !platform::DeleteFileAt(path->c_str()))
            ok = false;
    return ok;
}

std::optional<Partial> LoadPartial(const cache::EntryFiles &entry, const std::string &url)
{
    Partial p;
    p.files = PartialFilesOf(entry);
    const auto give_up = [&]() -> std::optional<Partial> {
        DropPartial(p.files);
        return std::nullopt;
    };
    const std::optional<std::string> record = ReadSmallFile(p.files.meta, cache::kMetaMaxBytes);
    if (!record) {
        // Without its record a partial is nothing: what a crash before the
        // record was placed left, or after the resumed body was committed.
        if (platform::PathExists(p.files.body.c_str()) || platform::PathExists(p.files.header.c_str()))
            DropPartial(p.files);
        return std::nullopt;
    }
    std::optional<cache::EntryMeta> meta = cache::ParseMeta(*record);
    std::optional<std::string> header = ReadSmallFile(p.files.header, 1 << 20);
    if (!meta || meta->complete || meta->url != url || meta->length <= 0 || !header)
        return give_up();
    p.meta = std::move(*meta);
    p.header = std::move(*header);
    p.ifRange = ResumeValidatorOf(p.header);
    if (p.ifRange.empty() || Length(FieldValue(p.header, "Content-Length")) != p.meta.length ||
        FieldValue(p.header, "ETag").value_or("") != p.meta.etag ||
        FieldValue(p.header, "Last-Modified").value_or("") != p.meta.lastModified)
        return give_up();
    const platform::FileFacts body = platform::ProbeFile(p.files.body.c_str());
    if (!body.found || body.directory)
        return give_up();
    // Measured by a seek: a directory entry may tell an older size of a
    // file that a killed process had open.
    p.have = cache::FileLengthBySeek(p.files.body);
    if (p.have <= 0 || p.have >= p.meta.length)
        return give_up();
    return p;
}

bool KeepPartial(const cache::EntryFiles &entry, const std::string &url, const std::string &bodyTemp,
                 std::string_view block, std::int64_t requestTime, std::int64_t responseTime)
{
    const PartialFiles files = PartialFilesOf(entry);
    cache::EntryMeta meta;
    meta.url = url;
    meta.length = Length(FieldValue(block, "Content-Length")).value_or(-1);
    meta.requestTime = requestTime;
    meta.responseTime = responseTime;
    meta.lastUse = responseTime;
    meta.etag = FieldValue(block, "ETag").value_or("");
    meta.lastModified = FieldValue(block, "Last-Modified").value_or("");
    meta.complete = false;
    std::size_t end = block.find("\r\n\r\n");
    end = end != std::string_view::npos ? end + 4 : block.size();
    const std::string headerTemp = files.header + ".part", metaTemp = files.meta + ".part";
    bool kept = WriteSmallFile(headerTemp, block.substr(0, end)) && WriteSmallFile(metaTemp, cache::FormatMeta(meta));
    // The old record goes first: from then on no partial counts until the
    // new record is in place, after its body and header.
    kept = kept && DropPartial(files) && Place(bodyTemp, files.body) && Place(headerTemp, files.header) &&
           Place(metaTemp, files.meta);
    if (!kept) {
        for (const std::string *path : {&headerTemp, &metaTemp})
            if (platform::PathExists(path->c_str()))
                platform::DeleteFileAt(path->c_str());
        DropPartial(files);
    }
    return kept;
}

std::optional<std::string> RangeMismatch(const Partial &partial, std::string_view block)
{
    const std::optional<std::string> rangeText = FieldValue(block, "Content-Range");
    if (!rangeText)
        return "the 206 answer has no Content-Range";
    const std::optional<ContentRange> range = ParseContentRange(*rangeText);
    if (!range)
        return "the 206 answer's Content-Range \"" + *rangeText + "\" cannot be read";
    const std::int64_t total = partial.meta.length;
    if (range->first != partial.have)
        return "the 206 answer starts at byte " + std::to_string(range->first) + ", not at " +
               std::to_string(partial.have);
    if (!range->total || *range->total != total)
        return "the 206 answer's total is not the " + std::to_string(total) + " bytes of the partial body";
    if (range->last != total - 1)
        return "the 206 answer ends before the body's last byte";
    if (const auto length = FieldValue(block, "Content-Length"); length && Length(length) != total - partial.have)
        return "the 206 answer's Content-Length is not the rest of the body";
    if (const auto etag = FieldValue(block, "ETag"); etag && *etag != partial.meta.etag)
        return "the 206 answer's ETag is not the partial body's";
    if (const auto date = FieldValue(block, "Last-Modified"); date && *date != partial.meta.lastModified)
        return "the 206 answer's Last-Modified is not the partial body's";
    return std::nullopt;
}

}  // namespace zelmo::fetch
