#pragma once

// Starts the desktop's default application for a kind of file, and says honestly whether it
// started: no application chosen for the kind, one that cannot be started, and one that ends at
// once with an error all come back as the reason.

#include <chrono>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace brivane {

// Why an application could not be opened; absent when it started.
using LaunchProblem = std::optional<std::string>;

struct LaunchRequest {
    // MIME types, tried in order: the first with a default application is started.
    std::vector<std::string> types;
    // Said when none of them has one.
    std::string nothingToOpen;
    // How long an application that ends with an error counts as not started.
    std::chrono::milliseconds settle{2000};
};

QCoro::Task<LaunchProblem> launchDefaultApplication(LaunchRequest request);

} // namespace brivane
