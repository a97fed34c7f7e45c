// Partial bodies kept for a resume: their files, their record, and the
// judgement of a 206 that claims to continue one.
#include "fetch/partial.h"

#include <cstdio>
#include <memory>

#include "fetch/rules.h"
#include "fetch/texts.h"
#include "platform/platform.h"

namespace zelmo::fetch {
namespace {

bool Place(const std::string &from, const std::string &to)
{
    return platform::ReplaceFileByRename(from.c_str(), to.c_str()) == platform::Replaced::Done;
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
    if (StatusOf(block) != 200)
        return {};
    const std::optional<std::int64_t> length = ParseLength(FieldValue(block, "Content-Length"));
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

std::optional<Partial> LoadPartial(const cache::EntryFiles &entry, const std::string &url, bool dropLeftovers)
{
    Partial p;
    p.files = PartialFilesOf(entry);
    const auto give_up = [&]() -> std::optional<Partial> {
        DropPartial(p.files);
        return std::nullopt;
    };
    const std::optional<std::string> record = ReadFileText(p.files.meta, cache::kMetaMaxBytes);
    if (!record) {
        // Without its record a partial is nothing: what a crash before the
        // record was placed left, or after the resumed body was committed.
        if (dropLeftovers &&
            (platform::PathExists(p.files.body.c_str()) || platform::PathExists(p.files.header.c_str())))
            DropPartial(p.files);
        return std::nullopt;
    }
    std::optional<cache::EntryMeta> meta = cache::ParseMeta(*record);
    std::optional<std::string> header = ReadFileText(p.files.header, 1 << 20);
    if (!meta || meta->complete || meta->url != url || meta->length <= 0 || !header)
        return give_up();
    p.meta = std::move(*meta);
    p.header = std::move(*header);
    p.ifRange = ResumeValidatorOf(p.header);
    if (p.ifRange.empty() || ParseLength(FieldValue(p.header, "Content-Length")) != p.meta.length ||
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
    cache::EntryMeta meta = MetaFor(url, block, ParseLength(FieldValue(block, "Content-Length")).value_or(-1), 0,
                                    requestTime, responseTime);
    meta.complete = false;
    std::size_t end = block.find("\r\n\r\n");
    end = end != std::string_view::npos ? end + 4 : block.size();
    const std::string headerTemp = files.header + ".part", metaTemp = files.meta + ".part";
    bool kept = WriteFileText(headerTemp, block.substr(0, end)) && WriteFileText(metaTemp, cache::FormatMeta(meta));
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
    if (const auto length = FieldValue(block, "Content-Length"); length && ParseLength(length) != total - partial.have)
        return "the 206 answer's Content-Length is not the rest of the body";
    if (const auto etag = FieldValue(block, "ETag"); etag && *etag != partial.meta.etag)
        return "the 206 answer's ETag is not the partial body's";
    if (const auto date = FieldValue(block, "Last-Modified"); date && *date != partial.meta.lastModified)
        return "the 206 answer's Last-Modified is not the partial body's";
    return std::nullopt;
}

}  // namespace zelmo::fetch
