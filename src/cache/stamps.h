// What this process remembers of an entry's files while they are unchanged:
// the bodies it checked and the small files it read, each by the file's
// stamp (platform::FileStamp), so that a hit need not read them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace zelmo::cache {

// Bodies this process has checked. A body file whose stamp is still the one
// it had when its checksum was computed and found to be `digest` has not
// changed since, so a check may trust that result instead of reading the
// body again. A stamp is only kept once the file's last change lies a step
// of the file system's clock in the past (Settled): a change within the
// same step would leave a younger stamp as it was. At most kKeptChecks
// bodies are remembered; the oldest are forgotten first.
bool CheckedBefore(const std::string &path, const platform::FileStamp &stamp, std::uint64_t digest);
void KeepChecked(const std::string &path, const platform::FileStamp &stamp, std::uint64_t digest);

// The same for an entry's small files (its header and metadata): their text
// as read when the file had `stamp`, while the file still has it. Texts of
// at most kKeptTextBytes are kept, of at most kKeptTexts files (a few MiB at
// worst, well under one for usual headers).
inline constexpr std::size_t kKeptTextBytes = 4096;
inline constexpr std::size_t kKeptTexts = 2048;
std::optional<std::string> KeptText(const std::string &path, const platform::FileStamp &stamp);
void KeepText(const std::string &path, const platform::FileStamp &stamp, const std::string &text);

// Whether a change to the file could still leave `stamp` as it is. The step
// of the file system's clock shows in the stamp's times: a file system with
// sub-second times (ext4, XFS, btrfs, tmpfs, NTFS, exFAT) sets them at the
// system clock's tick, 10 ms or finer, and one whose times all fall on whole
// seconds (FAT's two-second steps, one-second file systems) does not keep
// sub-second parts. The first is settled kSettledFineNs after the change,
// the second kSettledNs after it.
inline constexpr std::int64_t kSettledNs = 2'000'000'000;
inline constexpr std::int64_t kSettledFineNs = 50'000'000;
inline constexpr std::size_t kKeptChecks = 4096;
bool Settled(const platform::FileStamp &stamp, std::int64_t now);

}  // namespace zelmo::cache
