// Private profile text (INI files) read and edited in memory, with the
// semantics of the Windows private-profile services: lines end in CR LF, LF
// or CR; case-insensitive section and key names, blanks around names (also
// inside a section's brackets) and values ignored, one pair of matching
// quotes around a value removed, ';' lines are comments. An empty key names
// the entries written "=value". Edits change only the
// lines they concern; every other line keeps its bytes and its line ending.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelmo::ini {

class Profile {
public:
    explicit Profile(std::string_view text);

    // The text of the profile, with the edits made so far.
    std::string Text() const;

    // Reads like GetPrivateProfileStringA into `buffer` of `size` bytes and
    // returns the number of characters copied, terminators not counted.
    // A null `section` lists the section names and a null `key` the keys of
    // `section`, each name followed by a NUL and the list by one more; a list
    // that does not fit is cut and ends with two NULs (result size - 2). A
    // value or default that does not fit is cut (result size - 1). A missing
    // key gives `defaultValue` (null: empty) without its trailing blanks.
    unsigned Read(const char *section, const char *key, const char *defaultValue, char *buffer,
                  unsigned size) const;

    // Writes like WritePrivateProfileStringA: sets `key` of `section` to
    // `value` (creating the section and key as needed), deletes the key when
    // `value` is null, or the whole section when `key` is null. Returns false
    // only for a null `section`; `changed()` tells whether the text changed.
    bool Write(const char *section, const char *key, const char *value);
    bool changed() const { return changed_; }

private:
    enum class Kind { Other, Section, Entry };
    struct Line {
        std::string text;    // the line's bytes, line ending excluded
        std::string ending;  // "\n", "\r\n", "\r" or empty for a last line without one
        Kind kind = Kind::Other;
        std::string name;    // section or key name, blanks trimmed
        std::string value;   // entry value, blanks trimmed (quotes kept)
    };
    static Line Parse(std::string text, std::string ending);

    // Index of the header of the first section named `name`, or npos.
    std::size_t FindSection(std::string_view name) const;
    // One past the last line of the section whose header is at `header`.
    std::size_t SectionEnd(std::size_t header) const;
    // Index of the first entry `key` in the section at `header`, or npos.
    std::size_t FindKey(std::size_t header, std::string_view key) const;
    std::string NewLineEnding() const;

    std::vector<Line> lines_;
    bool changed_ = false;
};

}  // namespace zelmo::ini
