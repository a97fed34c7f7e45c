// Partial bodies kept for a resume: their files, their record, and the
// judgement of a 206 that claims to continue one.
#include "fetch/partial.h"

#include "cache/entry.h"
#include "fetch/rules.h"
#include "header/fields.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace zelmo::fetch {

using header::FieldValue;
using header::ParseLength;

std::optional<Partial> LoadPartial(const cache::EntryFiles &entry, const std::string &url, bool dropLeftovers)
{
    Partial p;
    const auto give_up = [&]() -> std::optional<Partial> {
        cache::DropPartial(entry);
        return std::nullopt;
    };
    const std::optional<std::string> record = platform::ReadSmallFile(entry.partialMeta, cache::kMetaMaxBytes);
    if (!record) {
        // Without its record a partial is nothing: what a crash before the
        // record was placed left, or after the resumed body was committed.
        if (dropLeftovers &&
            (platform::PathExists(entry.partialBody.c_str()) || platform::PathExists(entry.partialHeader.c_str())))
            cache::DropPartial(entry);
        return std::nullopt;
    }
    std::optional<cache::EntryMeta> meta = cache::ParseMeta(*record);
    std::optional<std::string> header = platform::ReadSmallFile(entry.partialHeader, cache::kHeaderMaxBytes);
    if (!meta || meta->complete || meta->url != url || meta->length <= 0 || !header)
        return give_up();
    p.meta = std::move(*meta);
    p.header = std::move(*header);
    p.ifRange = ResumeValidatorOf(p.header);
    if (p.ifRange.empty() || ParseLength(FieldValue(p.header, "Content-Length")) != p.meta.length ||
        FieldValue(p.header, "ETag").value_or("") != p.meta.etag ||
        FieldValue(p.header, "Last-Modified").value_or("") != p.meta.lastModified)
        return give_up();
    // A regular file, not a link (StampFile does not follow one).
    if (!platform::StampFile(entry.partialBody.c_str()).found)
        return give_up();
    // Measured by a seek: a directory entry may tell an older size of a
    // file that a killed process had open.
    p.have = cache::FileLengthBySeek(entry.partialBody);
    if (p.have <= 0 || p.have >= p.meta.length)
        return give_up();
    return p;
}

bool KeepPartial(cache::Editor &editor, const std::string &url, std::string_view block, std::int64_t requestTime,
                 std::int64_t responseTime)
{
    cache::EntryMeta meta = cache::MetaFor(url, block, ParseLength(FieldValue(block, "Content-Length")).value_or(-1), 0,
                                           requestTime, responseTime);
    meta.complete = false;
    const std::string record = cache::FormatMeta(meta);
    if (record.size() > cache::kMetaMaxBytes)  // LoadPartial could not read it back
        return false;
    std::size_t end = block.find("\r\n\r\n");
    end = end != std::string_view::npos ? end + 4 : block.size();
    using Part = cache::Editor::Part;
    return editor.Write(Part::Header, block.substr(0, end)) && editor.Write(Part::Meta, record) &&
           editor.CommitPartial();
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
    if (const auto length = FieldValue(block, "Content-Length"); length && ParseLength(length) != total - partial.have)
        return "the 206 answer's Content-Length is not the rest of the body";
    if (const auto etag = FieldValue(block, "ETag"); etag && *etag != partial.meta.etag)
        return "the 206 answer's ETag is not the partial body's";
    if (const auto date = FieldValue(block, "Last-Modified"); date && *date != partial.meta.lastModified)
        return "the 206 answer's Last-Modified is not the partial body's";
    return std::nullopt;
}

}  // namespace zelmo::fetch
