#pragma once

#include <string>
#include <vector>

namespace brivane {

// The arguments of a command-line mode: the program's own, without the program name.
using ModeArguments = std::vector<std::string>;

// What a mode needs before it runs.
enum class ModeNeeds {
    nothing,
    // A QCoreApplication: timers, D-Bus, the network, the keyring.
    eventLoop,
    // The screens: a QGuiApplication when a display is there, else a QCoreApplication (no
    // screens). Missing platform plugins are said and the mode does not run (exit status 1).
    screens,
};

// One command-line mode: every mode runs with the same signature and returns the exit status.
struct CommandLineMode {
    ModeNeeds needs;
    int (*run)(const ModeArguments& arguments);
};

// Makes the application object the mode needs, from the program's own argc and argv, and runs it.
int runMode(const CommandLineMode& mode, int& argc, char** argv);

// Writes one error line to standard error after the program's name, as terminal tools do.
void printError(const std::string& line);

// The argument after `option`; null when the option is absent or the last argument.
const std::string* optionValue(const ModeArguments& arguments, const char* option);

} // namespace brivane
