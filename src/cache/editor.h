// Writing an entry, for both interfaces: the editor names and creates the
// temporaries beside the entry's files, and makes them the entry's files in
// the order that keeps an entry whole whatever moment a process dies at —
// or removes them (an abort; for per-call temporaries also when the editor
// is destroyed uncommitted).
//
//   entry:   body, then header, then metadata. The header counts for the
//            entry, the metadata vouches for its body. Cut after the body,
//            the old header and its metadata judge the new body, which fails
//            their checksum; cut after the header, the new header and body
//            stand together, and the old metadata, which does not describe
//            the new header, is not believed. No state on the way serves a
//            body under another answer's header.
//   refresh: metadata, then header (a 304); the body is not touched.
//   partial: the old record dropped first, then body, header, record. The
//            record counts for a partial.
#pragma once

#include <string>
#include <string_view>

#include "cache/cache.h"
#include "cache/metadata.h"
#include "platform/files.h"

namespace zelmo::cache {

// How far a commit got.
enum class Committed {
    Both,        // body file and header file replaced (and the metadata, where made)
    HeaderKept,  // the body file was replaced, the header file could not be
    MetaKept,    // body and header replaced, the metadata could not be
    Neither,     // the body file could not be replaced; nothing changed
};

class Editor {
public:
    // The temporaries' names.
    enum class Names {
        // "<file>.<16 random hex digits>.part": no other call or process
        // shares them, none of HttpDownload_SYNC's either, and no one can
        // guess them to plant a link there.
        PerCall,
        // "<file>.tmp": HttpDownload_SYNC's own, the same for every call of
        // a URL. An editor of these deletes them only when asked (Abort):
        // what a failed download received stays in them.
        Download,
    };
    enum class Part { Body, Header, Meta };

    // `files` names the entry; HttpDownload_SYNC's entries have only body
    // and header.
    // Files it creates are its owner's only unless `shared`.
    Editor(EntryFiles files, Names names, bool shared = false);
    ~Editor();
    Editor(const Editor &) = delete;
    Editor &operator=(const Editor &) = delete;

    const EntryFiles &Files() const { return files_; }
    const std::string &Temporary(Part part) const { return temps_[Index(part)]; }
    bool Made(Part part) const { return made_[Index(part)]; }

    // Creates a part's temporary, new (platform::CreateNewFile: never
    // through a link), after removing what had its name (a link planted
    // there is removed itself); the stream is the caller's to write and
    // close. Null when it cannot be created.
    platform::File Create(Part part);
    // Creates a part's temporary holding `text`; false when a byte was lost.
    bool Write(Part part, std::string_view text);
    // The entry's partial body opened for appending the rest of its bytes,
    // never through a link.
    platform::File AppendToPartial();

    // An answer that must not be kept (no-store) goes to no file of the
    // cache: from now on the body temporary lies beside `path`, a file of
    // the host's outside the cache, and PlaceAside makes it that file.
    void BodyAside(const std::string &path);
    bool PlaceAside();

    // The body temporary, header and metadata (where made) made the entry's
    // files. Where `fromPartial`, the partial body takes the body
    // temporary's place (a completed resume). The old body leaves its name
    // first: a rename over an existing file makes some file systems (ext4's
    // replace-by-rename heuristic) write the new file's data out before the
    // rename returns, which costs a large body tens of milliseconds.
    // Meanwhile the entry has no body file and counts as incomplete. Where
    // the body lies on another file system than its temporary, it is copied
    // instead (written beside it and renamed into place).
    Committed Commit(bool fromPartial = false);
    // The metadata (where made) and header temporaries renamed over their
    // files; the body stays. False when either could not be placed.
    bool Refresh();
    // From now on the header temporary goes to the entry's status header
    // file (an answer of another status than 200) instead of its header
    // file.
    void ToStatusHeader() { files_.header = files_.statusHeader; }
    // The header temporary alone made the header file (an answer without a
    // body, for HttpDownload_SYNC).
    bool CommitHeader();
    // Body, header and metadata temporaries made the entry's partial body,
    // replacing any partial there was. False, with no partial left, when one
    // could not be placed.
    bool CommitPartial();

    // Deletes every temporary this editor made and did not place (or, for
    // Names::Download, may have been left by an earlier call).
    void Abort();
    // Keeps the temporaries as they are (Names::Download: a failed
    // download's bytes).
    void Leave() { done_ = true; }

private:
    static std::size_t Index(Part part) { return static_cast<std::size_t>(part); }
    // Places the temporary of `part` at `target`; true when it is there.
    bool Put(Part part, const std::string &target);

    EntryFiles files_;
    Names names_;
    bool shared_;
    std::string temps_[3];
    std::string aside_;  // where the body goes instead of the entry (BodyAside)
    bool made_[3] = {false, false, false};
    bool placed_[3] = {false, false, false};
    bool done_ = false;
};

}  // namespace zelmo::cache
