// Library frame: what the loader hooks of the platform layer call, and the
// helpers that every subsystem shares.
#pragma once

namespace zelmo::frame {

// Process attach and detach, called once per load by the platform's loader
// hook (DllMain on Windows, the shared object's constructor and destructor on
// POSIX). `processEnding` is true when the whole process is going away.
void ProcessAttach();
void ProcessDetach(bool processEnding);

}  // namespace zelmo::frame

namespace zelmo {

// The file-presence test: 1 when `path` names a file (not a directory) whose
// local last-write time is an MS-DOS date and time; otherwise -1.
int IsFilePresent(const char *path);

}  // namespace zelmo
