#include "frame/app.h"

#include "frame/diagnostic_log.h"
#include "platform/platform.h"

namespace zelmo::frame {

// Constant-initialised, so it exists before any loader hook or export runs,
// whatever order the objects of the library are linked in.
constinit CZelmoApp theApp;

bool CZelmoApp::InitInstance()
{
    platform::StartSockets();  // a failure leaves the exports that need sockets to fail by themselves
    return true;
}

int CZelmoApp::ExitInstance()
{
    platform::StopSockets();
    return 0;
}

}  // namespace zelmo::frame

// The loader hooks' calls (platform.h).
namespace zelmo::platform {

void OnProcessAttach()
{
    frame::theApp.InitInstance();
}

void OnProcessDetach(bool processEnding)
{
    // When the process is ending, other threads are already gone and the
    // system reclaims the socket library by itself; cleaning it up then
    // could block on state those threads left behind.
    if (!processEnding)
        frame::theApp.ExitInstance();
    // The log file is flushed and closed in either case. When the process is
    // ending, a thread that was stopped may still hold the log lock, so the
    // file is closed without it (no other thread runs any more).
    frame::CloseDiagnosticLog(processEnding);
}

}  // namespace zelmo::platform
