#include "Brivane/cloud/CloudCalendarPages.h"

#include "Brivane/cloud/CloudEventDate.h"

#include <algorithm>

namespace brivane {

namespace {

using nlohmann::json;

const json* objectMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? &*it : nullptr;
}

const json* listOf(const json& page, const PageFormat& format) {
    if (!page.is_object())
        return nullptr;
    const auto it = page.find(format.list);
    return it != page.end() && it->is_array() ? &*it : nullptr;
}

std::optional<std::string> nextOf(const json& page, const PageFormat& format) {
    if (!page.is_object())
        return std::nullopt;
    const auto* next = textMember(page, format.next);
    return next ? std::optional<std::string>(*next) : std::nullopt;
}

bool isCancelled(const json& element, const PageFormat& format) {
    if (format.cancelledStatus) {
        if (const auto* status = textMember(element, "status"); status && *status == "cancelled")
            return true;
    }
    const auto flag = element.find("isCancelled");
    return flag != element.end() && flag->is_boolean() && flag->get<bool>();
}

} // namespace

ProviderPage<ListedCalendar> calendarPage(const json& page, const PageFormat& format) {
    ProviderPage<ListedCalendar> result;
    result.next = nextOf(page, format);
    const json* list = listOf(page, format);
    if (!list)
        return result;
    for (const json& element : *list) {
        if (!element.is_object())
            continue;
        const std::string* id = textMember(element, "id");
        if (!id)
            continue;
        const std::string* name = textMember(element, format.calendarName);
        result.items.push_back({*id, name ? *name : *id});
    }
    return result;
}

ProviderPage<ListedEvent> eventPage(const json& page, const PageFormat& format,
                                    const Calendar& local) {
    ProviderPage<ListedEvent> result;
    result.next = nextOf(page, format);
    const json* list = listOf(page, format);
    if (!list)
        return result;
    for (const json& element : *list) {
        if (!element.is_object() || isCancelled(element, format))
            continue;
        const std::string* id = textMember(element, "id");
        const json* start = objectMember(element, "start");
        const json* end = objectMember(element, "end");
        if (!id || !start || !end)
            continue;
        bool allDay = start->count("date") > 0;
        if (const auto flag = element.find("isAllDay"); flag != element.end() && flag->is_boolean())
            allDay = flag->get<bool>();
        const auto startDate = allDay ? eventDay(*start, local) : eventDate(*start, local);
        const auto endDate = allDay ? eventDay(*end, local) : eventDate(*end, local);
        if (!startDate || !endDate)
            continue;
        const std::string* title = textMember(element, format.eventTitle);
        result.items.push_back({*id, title ? *title : std::string(), *startDate, *endDate, allDay});
    }
    return result;
}

PageTrail::Step PageTrail::admit(const std::string& next) {
    if (std::find(seen_.begin(), seen_.end(), next) != seen_.end())
        return Step::repeated;
    // The first page was requested without a continuation, so this is page seen_.size() + 2.
    if (static_cast<int>(seen_.size()) + 1 >= pageLimit)
        return Step::tooMany;
    seen_.push_back(next);
    return Step::follow;
}

} // namespace brivane
