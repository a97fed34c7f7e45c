// Load and unload hooks of the shared object: they play the part DllMain
// plays on Windows. The frame's process-wide objects are constant-initialised,
// so they exist before this constructor runs and outlive this destructor.
#include "platform/platform.h"

namespace {

__attribute__((constructor)) void Loaded()
{
    zelmo::platform::OnProcessAttach();
}

__attribute__((destructor)) void Unloading()
{
    zelmo::platform::OnProcessDetach(false);
}

}  // namespace
