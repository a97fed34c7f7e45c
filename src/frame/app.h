// The application object: one per loaded library.
#pragma once

namespace zelmo::frame {

class CZelmoApp {
public:
    constexpr CZelmoApp() = default;

    // Starts the socket library (WinSock 2.2). Never refuses the load.
    bool InitInstance();
    // Cleans the socket library up again.
    int ExitInstance();
};

}  // namespace zelmo::frame
