// The DLL entry point. The C runtime has constructed the library's static
// objects before it calls this on attach, and destroys them after it returns
// on detach.
#include <windows.h>

#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);  // nothing to do per thread
        zelmo::platform::OnProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        zelmo::platform::OnProcessDetach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
