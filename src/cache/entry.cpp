// Reading an entry of the fetch interface's cache (see entry.h).
#include "cache/entry.h"

#include <cstdio>
#include <cstring>

#include "cache/stamps.h"
#include "header/fields.h"
#include "platform/files.h"

namespace zelmo::cache {

std::optional<std::string> ReadEntryText(const std::string &path, std::size_t limit)
{
    const platform::FileStamp stamp = platform::StampFile(path.c_str());
    if (!stamp.found)
        return std::nullopt;
    if (std::optional<std::string> kept = KeptText(path, stamp))
        return kept;
    std::optional<std::string> text = platform::ReadSmallFile(path, limit);
    // The stamp was taken first: a change during the read shows as another
    // stamp on the next look.
    if (text && text->size() == stamp.size)
        KeepText(path, stamp, *text);
    return text;
}

Look LookAt(const EntryFiles &files, const std::string &url)
{
    Look look;
    // The header counts for the entry: read it first.
    std::optional<std::string> header = ReadEntryText(files.header, kHeaderMaxBytes);
    if (!header && !files.statusHeader.empty()) {
        header = ReadEntryText(files.statusHeader, kHeaderMaxBytes);
        look.statusEntry = header.has_value();
    }
    if (!header)
        return look;
    look.header = std::move(*header);
    look.header.resize(std::strlen(look.header.c_str()));  // as HttpDownload_SYNC reads it
    look.bodyStamp = platform::StampFile(files.body.c_str());
    if (!look.bodyStamp.found)
        return look;
    look.bodyLength = static_cast<std::int64_t>(look.bodyStamp.size);
    look.status = header::StatusOf(look.header);
    // A 200's header belongs in Dh, any other's in Ds.
    if ((look.status == 200) == look.statusEntry)
        return look;
    const std::optional<std::int64_t> contentLength =
        header::ParseLength(header::FieldValue(look.header, "Content-Length"));
    // The metadata file belongs to this header when it was written with it:
    // the same URL and validators, and the header's length if it tells one.
    // One that is there but cannot be read back whole vouches for nothing:
    // the entry is damaged, never taken for one without metadata.
    const std::optional<std::string> text = ReadEntryText(files.meta, kMetaMaxBytes);
    if (!text && platform::PathExists(files.meta.c_str())) {
        look.damaged = true;
        return look;
    }
    if (text) {
        std::optional<EntryMeta> meta = ParseMeta(*text);
        if (!meta) {
            look.damaged = true;
            return look;
        }
        if (meta->url == url && meta->complete &&
            meta->etag == header::FieldValue(look.header, "ETag").value_or("") &&
            meta->lastModified == header::FieldValue(look.header, "Last-Modified").value_or("") &&
            (!contentLength || *contentLength == meta->length))
            look.meta = std::move(meta);
    }
    if (look.meta) {
        look.complete = look.meta->length == look.bodyLength;
        look.damaged = !look.complete;
    } else if (!look.statusEntry) {  // an entry of HttpDownload_SYNC's: judged as it judges its own
        look.complete = contentLength && *contentLength > 0 && *contentLength == look.bodyLength;
    }
    return look;
}

Checked Check(const Look &look, const std::string &bodyPath, bool keep)
{
    Checked checked;
    // A body this process checked and that has not changed since is not
    // read again. The stamp was taken before the read, so that a change
    // during it shows as a different stamp next time.
    const platform::FileStamp &stamp = look.bodyStamp;
    if (look.meta && CheckedBefore(bodyPath, stamp, look.meta->digest)) {
        checked.good = true;
        checked.digest = look.meta->digest;
        return checked;
    }
    std::int64_t length = -1;
    std::optional<std::uint64_t> digest;
    if (keep && look.bodyLength >= 0 && look.bodyLength <= kKeptBody) {
        // One read of the expected length; one byte more shows a longer file.
        const platform::File file(platform::OpenForReading(bodyPath.c_str()));
        if (!file)
            return checked;
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        const std::size_t want = static_cast<std::size_t>(look.bodyLength);
        checked.bytes.reset(new char[want + 1]);
        checked.size = std::fread(checked.bytes.get(), 1, want + 1, file.get());
        if (std::ferror(file.get()))
            return checked;
        BodyDigest d;
        d.Update(checked.bytes.get(), checked.size);
        digest = d.Value();
        length = static_cast<std::int64_t>(checked.size);
    } else {
        digest = DigestOfFile(bodyPath, &length);
    }
    if (!digest)
        return checked;
    checked.digest = *digest;
    checked.good = length == look.bodyLength && (!look.meta || *digest == look.meta->digest);
    if (checked.good && look.meta)
        KeepChecked(bodyPath, stamp, checked.digest);
    return checked;
}

EntryMeta MetaFor(const std::string &url, std::string_view header, std::int64_t length, std::uint64_t digest,
                  std::int64_t requestTime, std::int64_t responseTime)
{
    EntryMeta meta;
    meta.url = url;
    meta.length = length;
    meta.digest = digest;
    meta.requestTime = requestTime;
    meta.responseTime = responseTime;
    meta.lastUse = responseTime;
    meta.etag = header::FieldValue(header, "ETag").value_or("");
    meta.lastModified = header::FieldValue(header, "Last-Modified").value_or("");
    meta.complete = true;
    return meta;
}

std::string StoredHeaderOf(std::string_view block, std::int64_t length)
{
    std::size_t end = block.find("\r\n\r\n");
    end = end != std::string_view::npos ? end + 4 : block.size();
    block = block.substr(0, end);
    const std::optional<std::int64_t> stated = header::ParseLength(header::FieldValue(block, "Content-Length"));
    if (stated && *stated == length && !header::FieldValue(block, "Transfer-Encoding"))
        return std::string(block);
    std::string out;
    std::size_t at = 0;
    bool first = true;
    while (at < block.size()) {
        std::size_t eol = block.find('\n', at);
        eol = eol == std::string_view::npos ? block.size() : eol + 1;
        std::string_view line = block.substr(at, eol - at);
        at = eol;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (first) {
            out.append(line).append("\r\n");
            out.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
            first = false;
            continue;
        }
        if (header::FindFieldName(line, "Content-Length:") == 0 || header::FindFieldName(line, "Transfer-Encoding:") == 0)
            continue;
        out.append(line).append("\r\n");
    }
    out.append("\r\n");
    return out;
}

void RecordUse(const EntryFiles &files, platform::UseLock &use, bool shared)
{
    if (use.Held()) {
        use.Touch();
        return;
    }
    if (platform::TouchFile(files.lock.c_str()))
        return;
    if (use.TryAcquire(files.lock.c_str(), false, shared) == platform::UseLock::Result::Held)
        use.Touch();
}

namespace {

bool DeleteAll(std::initializer_list<const std::string *> paths)
{
    bool ok = true;
    for (const std::string *path : paths)
        if (platform::PathExists(path->c_str()) && !platform::DeleteFileAt(path->c_str()))
            ok = false;
    return ok;
}

}  // namespace

bool DropEntry(const EntryFiles &files)
{
    return DeleteAll({&files.header, &files.statusHeader, &files.meta, &files.body});
}

bool DropPartial(const EntryFiles &files)
{
    return DeleteAll({&files.partialMeta, &files.partialHeader, &files.partialBody});
}

}  // namespace zelmo::cache
