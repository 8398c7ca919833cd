#pragma once

#include <string>
#include <vector>

namespace brivane {

// The program's entry: picks a command-line mode from the arguments or starts the tray app.
class BrivaneApp {
public:
    static int main(int argc, char** argv);

    // Renders the sample wallpapers into the directory after --render-previews ("previews" when
    // none) and returns that directory's path. Throws std::exception with a user-visible text.
    static std::string renderPreviews(const std::vector<std::string>& arguments);
};

} // namespace brivane
