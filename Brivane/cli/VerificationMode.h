#pragma once

#include "Brivane/cli/CommandLineMode.h"

namespace brivane {

// The command-line modes that work on the real screens: the two screen queries and the
// end-to-end wallpaper check. They need ModeNeeds::screens (without a display the screen list
// is empty).
struct VerificationMode {
    // --desktop-url <id> (the id must be there): the picture URL of that screen, or an empty
    // line; nothing when no screen has the id.
    static int desktopURL(const ModeArguments& arguments);
    // --display-info: the screens as a pretty-printed JSON array.
    static int displayInfo(const ModeArguments& arguments);
    // --verify-wallpaper: 0 after printing the PASS line; 1 after printing
    // "Wallpaper verification failed: " and the reason.
    static int verifyWallpaper(const ModeArguments& arguments);
};

} // namespace brivane
