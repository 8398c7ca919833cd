#pragma once

namespace brivane {

// The program's entry: picks a command-line mode from the arguments or starts the tray app.
class BrivaneApp {
public:
    static int main(int argc, char** argv);
};

} // namespace brivane
