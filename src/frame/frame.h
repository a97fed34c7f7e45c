// Library frame: the helpers that every subsystem shares. (The frame also
// answers the platform's loader hooks: platform::OnProcessAttach and
// OnProcessDetach, declared in platform/platform.h, are defined in app.cpp.)
#pragma once

namespace zelmo {

// The file-presence test: 1 when `path` names a file (not a directory) whose
// local last-write time is an MS-DOS date and time; otherwise -1.
int IsFilePresent(const char *path);

}  // namespace zelmo
