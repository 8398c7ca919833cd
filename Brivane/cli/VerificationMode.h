#pragma once

#include <optional>
#include <string>

namespace brivane {

// The command-line modes that work on the real screens: the two screen queries and the
// end-to-end wallpaper check. Each makes the GUI application object itself (only when a
// display is there; without one the screen list is empty).
struct VerificationMode {
    // --desktop-url <id>: the picture URL of that screen, or an empty line; nothing when no
    // screen has the id.
    static int desktopURL(int argc, char** argv, const std::string& screenID);
    // --display-info: the screens as a pretty-printed JSON array.
    static int displayInfo(int argc, char** argv);
    // --verify-wallpaper: 0 after printing the PASS line; 1 after printing
    // "Wallpaper verification failed: " and the reason.
    static int verifyWallpaper(int argc, char** argv);
};

} // namespace brivane
