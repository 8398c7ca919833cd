#pragma once

#include "Brivane/cli/CommandLineMode.h"

#include <string>
#include <vector>

namespace brivane {

// --render-previews [dir]: the sample wallpapers, drawn without any desktop or calendar.
class PreviewMode {
public:
    // Renders the sample wallpapers into the directory after --render-previews ("previews" when
    // none) and returns that directory's path. Throws std::exception with a user-visible text.
    static std::string renderPreviews(const std::vector<std::string>& arguments);

    // Runs the mode: prints where the previews went, or the error; returns the exit status.
    static int run(const ModeArguments& arguments);
};

} // namespace brivane
