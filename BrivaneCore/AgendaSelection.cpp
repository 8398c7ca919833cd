#include "BrivaneCore/AgendaSelection.h"

#include <algorithm>

namespace brivane {

namespace {

// Start, then title by code points, then id: the tie-breakers shared by both orders.
bool byStartTitleId(const AgendaEvent& a, const AgendaEvent& b) {
    if (a.start != b.start)
        return a.start < b.start;
    if (a.title != b.title)
        return a.title < b.title; // UTF-8 byte order is code-point order
    return a.id < b.id;
}

int rank(const AgendaEvent& e, Date now) {
    if (e.allDay)
        return 2;
    if (e.isCurrent(now))
        return 0;
    if (e.start > now)
        return 1;
    return 3;
}

} // namespace

bool AgendaSelection::chronological(const AgendaEvent& a, const AgendaEvent& b) {
    if (a.allDay != b.allDay)
        return a.allDay;
    return byStartTitleId(a, b);
}

std::vector<AgendaEvent> AgendaSelection::visible(std::vector<AgendaEvent> events, int limit,
                                                  Date now, bool prioritize) {
    if (limit < 1)
        return {};
    if (prioritize) {
        std::stable_sort(events.begin(), events.end(),
                         [now](const AgendaEvent& a, const AgendaEvent& b) {
                             const int ra = rank(a, now), rb = rank(b, now);
                             return ra != rb ? ra < rb : byStartTitleId(a, b);
                         });
    } else {
        std::stable_sort(events.begin(), events.end(), chronological);
    }
    if (events.size() > static_cast<std::size_t>(limit))
        events.erase(events.begin() + limit, events.end());
    std::stable_sort(events.begin(), events.end(), chronological);
    return events;
}

GroupAvailability AgendaSelection::availability(const std::set<std::string>& selected,
                                                const std::set<std::string>& available,
                                                bool authorized) {
    if (!authorized)
        return GroupAvailability::unavailable();
    if (selected.empty())
        return GroupAvailability::notSelected();
    const auto missing =
        std::count_if(selected.begin(), selected.end(),
                      [&](const std::string& id) { return !available.contains(id); });
    if (missing == 0)
        return GroupAvailability::available();
    if (static_cast<std::size_t>(missing) == selected.size())
        return GroupAvailability::unavailable();
    return GroupAvailability::partial(static_cast<int>(missing));
}

} // namespace brivane
