// A process that dies in the middle of a commit, on demand. The test program
// is linked with the system's rename call wrapped (rename on POSIX, the
// import slot of MoveFileExA on Windows): after ExitAtRename, the `nth`
// rename that the process makes from then on (counting from 1) ends the
// process with std::_Exit(code), just before the rename or just after it.
// For death tests: the parent looks at what the child left on disk.
#pragma once

namespace zelmo::test {

void ExitAtRename(int nth, bool afterIt, int code);

// Counts one rename; std::_Exit when it is the chosen one and `done` says
// the moment has come (called before the rename with false, after with true).
void CountRename(bool done);

}  // namespace zelmo::test
