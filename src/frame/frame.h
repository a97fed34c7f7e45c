// Library frame: the helpers that every subsystem shares. (The frame also
// answers the platform's loader hooks: platform::OnProcessAttach and
// OnProcessDetach, declared in platform/platform.h, are defined in app.cpp.)
#pragma once

#include <cstddef>

namespace zelmo::frame {

// Longest path CreateDirectoriesOf walks (CheckAndCreateDircotry's 4096-byte
// working buffer).
inline constexpr std::size_t kMaxWalkPath = 4095;

// Creates the missing directories of `path`, from the outermost to the
// innermost; what follows the last separator is a file name and ignored.
// False when one cannot be created, or the path is longer than kMaxWalkPath.
// The CheckAndCreateDircotry export, the cache's entry files and the
// diagnostic log's directory all go through this one walk.
bool CreateDirectoriesOf(const char *path);

}  // namespace zelmo::frame

namespace zelmo {

// The file-presence test: 1 when `path` names a file (not a directory) whose
// local last-write time is an MS-DOS date and time; otherwise -1.
int IsFilePresent(const char *path);

}  // namespace zelmo
