#pragma once

#include <string>

namespace brivane {

class ICalendarStore;

// `pellora --sources`: prints the calendars and task lists the local calendar store sees, with
// their identifiers, sources and counts, and every file it could not read and why.
struct SourcesMode {
    static int run();
    // The report as printed; `dataDirectory` holds the store's own JSON.
    static std::string report(const std::string& dataDirectory);
    static std::string report(ICalendarStore& store);
};

} // namespace brivane
