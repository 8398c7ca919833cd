#pragma once

#include "Brivane/cli/CommandLineMode.h"

#include <string>

namespace brivane {

class ICalendarStore;

// `pellora --sources`: prints the calendars and task lists the calendar store sees, with their
// identifiers, sources and counts, every file it could not read and why, and the sources of
// Evolution Data Server with the reason any of them cannot be read now.
struct SourcesMode {
    static int run(const ModeArguments& arguments);
    // The report as printed; `dataDirectory` holds the store's own JSON.
    static std::string report(const std::string& dataDirectory);
    static std::string report(ICalendarStore& store);
};

} // namespace brivane
