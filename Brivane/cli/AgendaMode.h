#pragma once

#include "Brivane/cli/CommandLineMode.h"
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// `pellora --agenda [--json] [--date YYYY-MM-DD] [--all]`: the snapshot the wallpaper is drawn
// from, for terminal users and scripts. Reads the same sources as `--sources`; needs no display.
struct AgendaMode {
    struct Arguments {
        bool json = false;
        bool all = false;
        std::optional<std::string> date; // YYYY-MM-DD
    };
    // Absent with a message on standard error when the arguments are not understood.
    static std::optional<Arguments> parse(const std::vector<std::string>& arguments);
    static int run(const ModeArguments& arguments);

    // What was read, ready to print.
    struct Agenda {
        AgendaSnapshot snapshot;
        // The calendar of each event and whether it has a group, parallel to snapshot.events.
        std::vector<std::string> calendars;
        std::vector<bool> grouped;
        Preferences preferences;
        Date now;
    };
    static nlohmann::ordered_json json(const Agenda& agenda, const Calendar& calendar);
    static std::string text(const Agenda& agenda, const Calendar& calendar);
    // An instant as RFC 3339 with the calendar's offset: "2026-10-25T02:30:00+01:00".
    static std::string rfc3339(Date date, const Calendar& calendar);
};

} // namespace brivane
