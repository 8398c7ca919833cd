#pragma once

#include "BrivaneCore/AgendaSnapshot.h"

#include <set>
#include <string>
#include <vector>

namespace brivane {

struct AgendaSelection {
    // The one order of events everywhere: all-day first, then start, title (code points), id.
    static bool chronological(const AgendaEvent& a, const AgendaEvent& b);
    // At most `limit` events in chronological order; with `prioritize`, current and upcoming
    // events survive a crowded list before all-day and past ones.
    static std::vector<AgendaEvent> visible(std::vector<AgendaEvent> events, int limit, Date now,
                                            bool prioritize);
    static GroupAvailability availability(const std::set<std::string>& selected,
                                          const std::set<std::string>& available, bool authorized);
};

} // namespace brivane
