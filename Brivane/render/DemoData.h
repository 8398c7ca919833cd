#pragma once

#include "BrivaneCore/AgendaSnapshot.h"

#include <array>
#include <string_view>

namespace brivane {

// The built-in sample agenda: Monday 28 September 2026, 11:30 local time.
struct DemoData {
    static constexpr std::array<std::string_view, 5> variants{"normal", "empty", "dense", "partial",
                                                              "unavailable"};
    // Any other variant name gives the `normal` snapshot.
    static AgendaSnapshot snapshot(std::string_view variant);
    // The sample's tasks are in no list the user chose: they are grouped by due date.
    static constexpr ReminderGrouping reminderGrouping = ReminderGrouping::dueDate;
    // The text form of an instant in event ids: seconds since 1970 with a fraction ("….0").
    static std::string secondsDescription(Date instant);
};

} // namespace brivane
