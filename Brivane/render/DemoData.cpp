#include "Brivane/render/DemoData.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <charconv>
#include <chrono>
#include <cmath>

namespace brivane {

namespace {

struct SampleEvent {
    const char* italian;
    const char* english;
    int start; // minutes after the start of the sample day
    int length;
    AgendaGroup group;
};

constexpr SampleEvent normalEvents[] = {
    {"Allineamento team", "Team sync", 540, 30, AgendaGroup::ostrid},
    {"Revisione progetto", "Project review", 660, 60, AgendaGroup::ostrid},
    {"Workshop cliente", "Client workshop", 900, 60, AgendaGroup::ostrid},
    {"Allenamento", "Workout", 1110, 60, AgendaGroup::personal},
    {"Pianificazione", "Planning", 2040, 60, AgendaGroup::ostrid},
    {"Cena", "Dinner", 2580, 60, AgendaGroup::personal},
    {"Revisione proposta", "Proposal review", 3720, 60, AgendaGroup::ostrid},
    {"Commissioni", "Errands", 5400, 60, AgendaGroup::personal},
    {"Riepilogo settimana", "Weekly review", 6720, 60, AgendaGroup::ostrid},
};

Date addMinutes(const Calendar& calendar, Date date, int minutes) {
    return calendar.adding(CalendarUnit::minute, minutes, date)
        .value_or(date + std::chrono::minutes(minutes));
}

AgendaEvent event(const std::string& title, Date start, Date end, bool allDay, AgendaGroup group) {
    return AgendaEvent(title + DemoData::secondsDescription(start), title, start, end, allDay,
                       group);
}

} // namespace

std::string DemoData::secondsDescription(Date instant) {
    const auto millis = instant.time_since_epoch().count();
    if (millis % 1000 == 0)
        return std::to_string(millis / 1000) + ".0";
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(millis) / 1000.0);
    return std::string(buffer, result.ptr);
}

AgendaSnapshot DemoData::snapshot(std::string_view variant) {
    const Calendar calendar = AgendaDates::calendar();
    const Date reference = calendar.date(2026, 9, 28, 11, 30).value_or(dateFromSeconds(1790595000));
    const Date day = calendar.startOfDay(reference);
    auto at = [&](int minutes) { return addMinutes(calendar, day, minutes); };
    auto text = [](const char* italian, const char* english) {
        return AgendaLanguage::text(italian, english);
    };

    const bool empty = variant == "empty";
    const bool dense = variant == "dense";
    const bool partial = variant == "partial";
    const bool unavailable = variant == "unavailable";

    AgendaSnapshot snapshot;
    snapshot.date = reference;
    snapshot.demonstration = true;
    if (!unavailable)
        snapshot.fetchedAt = reference;

    if (!empty && !unavailable) {
        for (const auto& sample : normalEvents) {
            if (partial && sample.group == AgendaGroup::personal)
                continue;
            const Date start = at(sample.start);
            snapshot.events.push_back(event(text(sample.italian, sample.english), start,
                                            addMinutes(calendar, start, sample.length), false,
                                            sample.group));
        }
    }
    if (dense) {
        for (int n = 1; n <= 14; ++n) {
            const std::string number = std::to_string(n);
            const Date start = at(495 + 60 * (n - 1));
            snapshot.events.push_back(
                event(AgendaLanguage::text(
                          "Incontro " + number +
                              " — revisione delle attività e pianificazione del progetto",
                          "Meeting " + number + " — task review and project planning"),
                      start, addMinutes(calendar, start, 45), false, AgendaGroup::ostrid));
        }
        for (int n = 1; n <= 7; ++n) {
            const std::string number = std::to_string(n);
            const Date start = at(780 + 60 * (n - 1));
            snapshot.events.push_back(event(AgendaLanguage::text("Appuntamento personale " + number,
                                                                 "Personal appointment " + number),
                                            start, addMinutes(calendar, start, 30), false,
                                            AgendaGroup::personal));
        }
        snapshot.events.push_back(
            event(text("Ferie", "Vacation"), day, at(1440), true, AgendaGroup::personal));
        const Date tripStart = at(-840);
        snapshot.events.push_back(event(text("Trasferta di progetto", "Project trip"), tripStart,
                                        addMinutes(calendar, tripStart, 3600), false,
                                        AgendaGroup::ostrid));
    }

    const GroupAvailability none = GroupAvailability::unavailable();
    const GroupAvailability ok = GroupAvailability::available();
    snapshot.availability = {{AgendaGroup::ostrid, unavailable ? none : ok},
                             {AgendaGroup::personal, unavailable || partial ? none : ok}};

    ReminderSnapshot& reminders = snapshot.reminders;
    const std::string work = text("Lavoro", "Work");
    const std::string personal = text("Personale", "Personal");
    reminders.listNames = {work, personal};
    reminders.fetchedAt = snapshot.fetchedAt;
    reminders.state =
        unavailable ? ReminderAvailability::notAuthorized : ReminderAvailability::available;
    if (!empty && !unavailable) {
        auto dayOffset = [&](int days) {
            return calendar.adding(CalendarUnit::day, days, day)
                .value_or(day + std::chrono::hours(24 * days));
        };
        const Date twoPm =
            calendar.adding(CalendarUnit::hour, 14, day).value_or(day + std::chrono::hours(14));
        reminders.items = {
            ReminderItem("r1", text("Inviare la proposta aggiornata", "Send the updated proposal"),
                         work, twoPm, true, 0, ""),
            ReminderItem("r2", text("Prenotare il controllo annuale", "Book the annual checkup"),
                         personal, dayOffset(-1), false, 0, ""),
            ReminderItem("r3",
                         text("Preparare i materiali del workshop", "Prepare workshop materials"),
                         work, dayOffset(1), false, 0, ""),
            ReminderItem("r4", text("Ritirare il pacco", "Pick up the package"), personal,
                         dayOffset(1), false, 0, ""),
            ReminderItem("r5", text("Rivedere il piano della settimana", "Review the weekly plan"),
                         work, dayOffset(3), false, 0, ""),
        };
    }
    return snapshot;
}

} // namespace brivane
