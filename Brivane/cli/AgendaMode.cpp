#include "Brivane/cli/AgendaMode.h"

#include "Brivane/calendar/CombinedCalendarStore.h"
#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cli/SubscriptionsMode.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/subscriptions/SubscribedCalendarStore.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/AgendaSelection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <regex>
#include <set>

namespace brivane {

namespace {

using Json = nlohmann::ordered_json;

std::string availabilityName(GroupAvailability::Kind kind) {
    switch (kind) {
    case GroupAvailability::Kind::partial:
        return "partial";
    case GroupAvailability::Kind::available:
        return "available";
    case GroupAvailability::Kind::notSelected:
        return "notSelected";
    case GroupAvailability::Kind::unavailable:
        break;
    }
    return "unavailable";
}

std::string reminderStateName(ReminderAvailability state) {
    switch (state) {
    case ReminderAvailability::notAuthorized:
        return "notAuthorized";
    case ReminderAvailability::available:
        return "available";
    case ReminderAvailability::loading:
        return "loading";
    case ReminderAvailability::failed:
        break;
    }
    return "failed";
}

// Event indices in the one chronological order of the program.
std::vector<std::size_t> chronologicalOrder(const std::vector<AgendaEvent>& events) {
    std::vector<std::size_t> order(events.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return AgendaSelection::chronological(events[a], events[b]);
    });
    return order;
}

ReminderGrouping grouping(const Preferences& preferences) {
    return preferences.effectiveReminderGrouping();
}

// Without a stored account the keyring is never asked (a terminal without a session bus,
// a cron job, a user who never connected one).
QCoro::Task<> readCloud(CloudCalendarService& cloud, const Preferences& preferences) {
    cloud.noteAssignedCalendars(preferences.assignments);
    co_await cloud.loadAccounts();
    co_await cloud.refresh();
}

// The events of the applied settings into `agenda`. With `every` (no assignment, or --all)
// every calendar is read; those without a group are read under a stand-in group and printed
// without one.
QCoro::Task<> readEvents(CalendarStore& store, const CloudCalendarService& cloud, bool authorized,
                         bool every, AgendaMode::Agenda& agenda) {
    Preferences reading = agenda.preferences;
    std::set<std::string> ungrouped;
    if (every) {
        std::vector<std::string> ids;
        const std::vector<StoreCalendar> local =
            co_await SnapshotReader::readableCalendars(store, authorized);
        for (const auto& c : local)
            ids.push_back(c.id);
        for (const auto& c : cloud.calendars())
            ids.push_back(c.id);
        for (const auto& id : ids)
            if (reading.assignments.try_emplace(id, AgendaGroup::ostrid).second)
                ungrouped.insert(id);
    }
    // The availability is the one the wallpaper shows: that of the applied settings.
    agenda.snapshot = co_await AgendaModel::loadSnapshot(
        store, cloud, authorized, reading, agenda.now, &agenda.calendars, agenda.preferences);
    for (const auto& id : agenda.calendars)
        agenda.grouped.push_back(!ungrouped.count(id));
}

} // namespace

std::string AgendaMode::rfc3339(Date date, const Calendar& calendar) {
    return AgendaDates::string(date, "yyyy-MM-dd'T'HH:mm:ssxxx", calendar);
}

std::optional<AgendaMode::Arguments> AgendaMode::parse(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--agenda") {
            continue;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--all") {
            parsed.all = true;
        } else if (argument == "--date") {
            if (i + 1 == arguments.size()) {
                printError(AgendaLanguage::text("--date vuole una data AAAA-MM-GG",
                                                "--date needs a date YYYY-MM-DD"));
                return std::nullopt;
            }
            parsed.date = arguments[++i];
        } else if (argument.rfind("--date=", 0) == 0) {
            parsed.date = argument.substr(7);
        } else {
            printError(AgendaLanguage::text("argomento sconosciuto '", "unknown argument '") +
                       argument + "'");
            return std::nullopt;
        }
    }
    return parsed;
}

Json AgendaMode::json(const Agenda& agenda, const Calendar& calendar) {
    const AgendaSnapshot& snapshot = agenda.snapshot;
    Json out;
    out["date"] = AgendaDates::string(agenda.now, "yyyy-MM-dd", calendar);
    out["timeZone"] = calendar.timeZoneId();
    out["window"] = {{"start", rfc3339(calendar.startOfDay(agenda.now), calendar)},
                     {"end", rfc3339(AgendaDates::endOfWeek(agenda.now, calendar), calendar)}};

    Json groups = Json::array();
    for (AgendaGroup group : allAgendaGroups) {
        Json entry;
        entry["group"] = std::string(rawValue(group));
        entry["name"] = agenda.preferences.groupName(group);
        const auto it = snapshot.availability.find(group);
        const GroupAvailability availability =
            it != snapshot.availability.end() ? it->second : GroupAvailability::notSelected();
        entry["availability"] = availabilityName(availability.kind());
        if (availability.kind() == GroupAvailability::Kind::partial)
            entry["missing"] = availability.missing();
        groups.push_back(std::move(entry));
    }
    out["groups"] = std::move(groups);

    Json events = Json::array();
    for (std::size_t i : chronologicalOrder(snapshot.events)) {
        const AgendaEvent& event = snapshot.events[i];
        Json entry;
        entry["id"] = event.id;
        entry["title"] = event.title;
        entry["start"] = rfc3339(event.start, calendar);
        entry["end"] = rfc3339(event.end, calendar);
        entry["allDay"] = event.allDay;
        entry["group"] = agenda.grouped[i] ? Json(std::string(rawValue(event.group))) : Json();
        entry["calendar"] = agenda.calendars[i];
        events.push_back(std::move(entry));
    }
    out["events"] = std::move(events);

    Json sections = Json::array();
    const ReminderListIDs listIDs = agenda.preferences.reminderListIDs.value_or(ReminderListIDs{});
    for (ReminderSection section : allReminderSections) {
        Json items = Json::array();
        for (const ReminderItem& item : snapshot.reminders.itemsIn(
                 section, grouping(agenda.preferences), agenda.now, calendar, listIDs)) {
            Json entry;
            entry["id"] = item.id;
            entry["title"] = item.title;
            entry["due"] = item.due ? Json(rfc3339(*item.due, calendar)) : Json();
            entry["hasTime"] = item.hasTime;
            entry["list"] = item.list;
            entry["priority"] = item.priority;
            items.push_back(std::move(entry));
        }
        sections.push_back({{"section", std::string(rawValue(section))}, {"items", items}});
    }
    out["reminders"] = {{"state", reminderStateName(snapshot.reminders.state)},
                        {"sections", std::move(sections)}};
    return out;
}

std::string AgendaMode::text(const Agenda& agenda, const Calendar& calendar) {
    const AgendaSnapshot& snapshot = agenda.snapshot;
    const std::vector<std::size_t> order = chronologicalOrder(snapshot.events);
    std::string out;
    auto day = [&](Date start, std::string_view pattern) {
        out += AgendaDates::string(start, pattern, calendar) + "\n";
        bool any = false;
        for (std::size_t i : order) {
            const AgendaEvent& event = snapshot.events[i];
            if (!event.occurs(start, calendar))
                continue;
            any = true;
            out += "  " + event.timeLabel(start, calendar) + "  " + event.title;
            if (agenda.grouped[i])
                out += "  (" + agenda.preferences.groupName(event.group) + ")";
            out += "\n";
        }
        if (!any)
            out += "  " + AgendaLanguage::text("Nessun evento", "No events") + "\n";
    };

    day(calendar.startOfDay(agenda.now), "EEEE d MMMM yyyy");

    out += "\n" + AgendaLanguage::text("Promemoria", "Tasks") + "\n";
    if (snapshot.reminders.state != ReminderAvailability::available)
        out += "  " + label(snapshot.reminders.state) + "\n";
    const ReminderListIDs listIDs = agenda.preferences.reminderListIDs.value_or(ReminderListIDs{});
    for (ReminderSection section : allReminderSections) {
        const auto items = snapshot.reminders.itemsIn(section, grouping(agenda.preferences),
                                                      agenda.now, calendar, listIDs);
        if (items.empty())
            continue;
        out += "  " + title(section) + "\n";
        for (const ReminderItem& item : items) {
            out += "    " + item.title + "  (" + item.list;
            if (item.due)
                out += " · " + item.dueLabel(agenda.now, calendar);
            out += ")\n";
        }
    }

    const auto rest = AgendaDates::remainingDays(agenda.now, calendar);
    if (!rest.empty()) {
        out += "\n" + AgendaLanguage::text("Resto della settimana", "Rest of the week") + "\n";
        for (Date start : rest)
            day(start, "EEEE d MMMM");
    }
    return out;
}

int AgendaMode::run(const std::vector<std::string>& arguments) {
    const auto parsed = parse(arguments);
    if (!parsed)
        return 2;

    const Calendar calendar = AgendaDates::calendar();
    Date now =
        std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    if (parsed->date) {
        static const std::regex pattern("(\\d{4})-(\\d{2})-(\\d{2})");
        std::smatch match;
        std::optional<Date> day;
        if (std::regex_match(*parsed->date, match, pattern)) {
            const int year = std::stoi(match[1]);
            const int month = std::stoi(match[2]);
            const int dayOfMonth = std::stoi(match[3]);
            day = calendar.date(year, month, dayOfMonth);
            // The calendar rolls 31 February over into March: that is no date.
            if (day && (calendar.component(CalendarComponent::month, *day) != month ||
                        calendar.component(CalendarComponent::day, *day) != dayOfMonth))
                day.reset();
        }
        if (!day) {
            printError(AgendaLanguage::text("data non valida '", "not a valid date '") +
                       *parsed->date +
                       AgendaLanguage::text("' (serve AAAA-MM-GG)", "' (expected YYYY-MM-DD)"));
            return 2;
        }
        if (!calendar.isSameDay(*day, now))
            now = *day;
    }

    const QString directory = AgendaModel::defaultDirectory();
    Preferences preferences;
    try {
        if (auto stored = AgendaModel::readPreferences(directory))
            preferences = std::move(*stored);
    } catch (const std::exception& failure) {
        printError(AgendaLanguage::text("Impossibile leggere le impostazioni: ",
                                        "Could not read settings: ") +
                   failure.what());
        return 1;
    }
    preferences.migrateGroupNamesIfNeeded();

    std::vector<std::string> failures;
    SubscriptionService subscriptions;
    for (auto& line : SubscriptionsMode::refreshed(subscriptions))
        failures.push_back(std::move(line));
    SubscribedCalendarStore store(std::make_unique<CombinedCalendarStore>(
                                      ICalendarStore::Options::defaults(directory.toStdString()),
                                      EdsCalendarStore::Options::patient()),
                                  subscriptions);
    const bool authorized =
        store.authorizationStatus(CalendarEntity::event) == AuthorizationStatus::fullAccess;

    CloudCalendarService::Options cloudOptions;
    cloudOptions.now = [now] { return now; };
    CloudCalendarService cloud(std::move(cloudOptions));
    QCoro::waitFor(readCloud(cloud, preferences));
    // Calendars by address and cloud accounts are read without that access: with one of them
    // the agenda has its sources, and the missing access is no failure.
    if (!authorized && subscriptions.subscriptions().empty() && cloud.accounts().empty())
        failures.push_back(
            store.accessProblem(CalendarEntity::event)
                .value_or(AgendaLanguage::text("la lettura dei calendari non è ancora consentita: "
                                               "consentila nelle impostazioni di Pellora",
                                               "reading calendars is not allowed yet: allow it in "
                                               "Pellora's settings")));
    if (cloud.syncError())
        failures.push_back(
            AgendaLanguage::text("Lettura calendari cloud: ", "Reading cloud calendars: ") +
            *cloud.syncError());

    ReminderService reminders(&store, nullptr, ReminderService::defaultTimeLimit,
                              [now] { return now; });
    ReminderSnapshot tasks = QCoro::waitFor(reminders.read());
    if (tasks.state == ReminderAvailability::failed)
        failures.push_back(label(tasks.state));

    Agenda agenda;
    agenda.preferences = preferences;
    agenda.now = now;
    // Every open task by due date when every calendar is asked for, or when no list was chosen
    // for the chosen-lists grouping (which would show nothing).
    if (parsed->all ||
        (preferences.effectiveReminderGrouping() == ReminderGrouping::selectedLists &&
         preferences.reminderListIDs.value_or(ReminderListIDs{}).empty()))
        agenda.preferences.reminderGrouping = ReminderGrouping::dueDate;
    QCoro::waitFor(readEvents(store, cloud, authorized,
                              parsed->all || preferences.assignments.empty(), agenda));
    agenda.snapshot.reminders = std::move(tasks);

    const std::string output =
        parsed->json ? json(agenda, calendar).dump(2) + "\n" : text(agenda, calendar);
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    for (const auto& line : failures)
        printError(line);
    return failures.empty() ? 0 : 1;
}

} // namespace brivane
