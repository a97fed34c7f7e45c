// The DLL entry point. The C runtime has constructed the library's static
// objects before it calls this on attach, and destroys them after it returns
// on detach.
#include <windows.h>

#include "frame/frame.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);  // nothing to do per thread
        zelmo::frame::ProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        zelmo::frame::ProcessDetach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
