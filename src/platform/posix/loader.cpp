// Load and unload hooks of the shared object: they play the part DllMain
// plays on Windows. The frame's process-wide objects are constant-initialised,
// so they exist before this constructor runs and outlive this destructor.
#include "frame/frame.h"

namespace {

__attribute__((constructor)) void OnLoad()
{
    zelmo::frame::ProcessAttach();
}

__attribute__((destructor)) void OnUnload()
{
    zelmo::frame::ProcessDetach(false);
}

}  // namespace
