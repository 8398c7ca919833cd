#include "Brivane/controller/SnapshotReader.h"

#include "Brivane/calendar/ReminderService.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/CalendarAccess.h"
#include "Brivane/controller/SettingsDraft.h"
#include "Brivane/subscriptions/SubscribedCalendarStore.h"
#include "BrivaneCore/AgendaSelection.h"

#include <QPointer>
#include <charconv>
#include <map>
#include <set>

namespace brivane {

namespace {

// Seconds since 1970 as the text of a double: "1700000000.0", "1700000000.5".
std::string secondsText(Date date) {
    const double seconds = static_cast<double>(date.time_since_epoch().count()) / 1000.0;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

} // namespace

SnapshotReader::SnapshotReader(Sources sources, Hooks hooks, Date now, QObject* parent)
    : QObject(parent), sources_(sources), hooks_(std::move(hooks)) {
    snapshot_.date = now;
    preview_.date = now;
}

void SnapshotReader::setSnapshot(AgendaSnapshot value) {
    if (snapshot_ == value)
        return;
    snapshot_ = std::move(value);
    Q_EMIT snapshotChanged();
}

void SnapshotReader::setPreview(AgendaSnapshot value) {
    if (preview_ == value)
        return;
    preview_ = std::move(value);
    Q_EMIT previewChanged();
}

void SnapshotReader::setLastReadAt(std::optional<Date> value) {
    if (lastReadAt_ == value)
        return;
    lastReadAt_ = value;
    Q_EMIT lastReadAtChanged();
}

QCoro::Task<std::vector<StoreCalendar>> SnapshotReader::readableCalendars(CalendarStore& store,
                                                                          bool authorized) {
    if (authorized)
        co_return co_await store.calendars(CalendarEntity::event);
    // The user added the subscriptions here: they need no access to the desktop's calendars.
    if (const auto* subscribed = qobject_cast<const SubscribedCalendarStore*>(&store))
        co_return subscribed->subscriptions().calendars();
    co_return std::vector<StoreCalendar>{};
}

QCoro::Task<bool> SnapshotReader::reload() {
    QPointer<SnapshotReader> guard(this);
    const int generation = ++requested_;
    ++reads_;
    std::vector<StoreCalendar> local;
    AgendaSnapshot next;
    Preferences applied;
    std::optional<std::string> failure;
    try {
        local = co_await readableCalendars(sources_.store, sources_.access.authorized());
        if (guard && !hooks_.quitting()) {
            applied = sources_.settings.preferences();
            next = co_await load(sources_.store, sources_.cloud, sources_.access.authorized(),
                                 applied, hooks_.now());
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!guard)
        co_return false;
    --reads_;
    // A later reload has already shown its result, or the program is winding down.
    if (hooks_.quitting() || generation < shown_)
        co_return false;
    if (failure) {
        hooks_.failed(*failure);
        co_return false;
    }
    shown_ = generation;
    sources_.access.setCalendars(std::move(local));
    next.reminders = sources_.reminders.snapshot();
    if (next.fetchedAt)
        setLastReadAt(next.fetchedAt);
    snapshotPreferences_ = std::move(applied);
    setSnapshot(std::move(next));
    requestPreview();
    co_return true;
}

void SnapshotReader::requestPreview() {
    if (hooks_.quitting())
        return;
    if (previewReading_) {
        previewQueued_ = true;
        return;
    }
    readPreviews();
}

QCoro::Task<> SnapshotReader::readPreviews() {
    QPointer<SnapshotReader> guard(this);
    previewReading_ = true;
    do {
        previewQueued_ = false;
        AgendaSnapshot next;
        std::optional<std::string> failure;
        try {
            next = co_await load(sources_.store, sources_.cloud, sources_.access.authorized(),
                                 sources_.settings.draft(), hooks_.now());
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!guard)
            co_return;
        if (hooks_.quitting())
            break;
        // The draft changed while reading: only its newest state is worth showing.
        if (previewQueued_)
            continue;
        if (failure) {
            hooks_.failed(*failure);
            break;
        }
        next.reminders = sources_.reminders.snapshot();
        setPreview(std::move(next));
    } while (previewQueued_);
    previewReading_ = false;
    previewQueued_ = false;
}

QCoro::Task<AgendaSnapshot> SnapshotReader::load(CalendarStore& store,
                                                 const CloudCalendarService& cloud, bool authorized,
                                                 Preferences preferences, Date now,
                                                 std::vector<std::string>* calendarIDs,
                                                 std::optional<Preferences> availabilityOf) {
    const Calendar calendar = AgendaDates::calendar();
    const Date start = calendar.startOfDay(now);
    const Date end = AgendaDates::endOfWeek(now, calendar);

    // Everything of the cloud service first: it may be gone once the store has answered.
    std::set<std::string> known;
    for (const auto& c : cloud.calendars())
        known.insert(c.id);
    const bool anyCloudCalendar = !known.empty();
    std::map<std::string, std::string> cloudCalendarOf;
    for (const auto& event : cloud.events())
        cloudCalendarOf[event.calendarID + ":" + event.id] = event.calendarID;
    std::vector<AgendaEvent> cloudEvents;
    std::vector<std::string> cloudEventCalendars;
    for (auto& event : cloud.agendaEvents(preferences.assignments)) {
        if (event.end < start || event.start > end)
            continue;
        cloudEventCalendars.push_back(cloudCalendarOf[event.id]);
        cloudEvents.push_back(std::move(event));
    }

    const QPointer<CalendarStore> alive(&store);
    const bool cloudReader = !cloud.accounts().empty();
    const std::vector<StoreCalendar> local = co_await readableCalendars(store, authorized);
    for (const auto& c : local)
        known.insert(c.id);
    // Without access only the subscriptions are listed, so only they are read.
    const bool reader = authorized || cloudReader || !local.empty();

    AgendaSnapshot result;
    result.date = now;
    for (AgendaGroup group : allAgendaGroups)
        result.availability.emplace(
            group,
            AgendaSelection::availability(
                (availabilityOf ? *availabilityOf : preferences).selected(group), known, reader));
    result.reminders = ReminderSnapshot{};

    std::vector<std::string> selected;
    for (const auto& c : local)
        if (preferences.assignments.count(c.id))
            selected.push_back(c.id);
    if (selected.empty() && !anyCloudCalendar)
        co_return result;

    if (!selected.empty() && alive) {
        const std::vector<StoreEvent> events = co_await alive->events(start, end, selected);
        for (const StoreEvent& event : events) {
            if (event.cancelled)
                continue;
            const auto group = preferences.assignments.find(event.calendarID);
            if (group == preferences.assignments.end())
                continue;
            const std::string& identifier = event.eventIdentifier.empty()
                                                ? event.calendarItemIdentifier
                                                : event.eventIdentifier;
            result.events.emplace_back(
                event.calendarID + ":" + identifier + ":" + secondsText(event.start), event.title,
                event.start, event.end, event.allDay, group->second);
            if (calendarIDs)
                calendarIDs->push_back(event.calendarID);
        }
    }
    for (std::size_t i = 0; i < cloudEvents.size(); ++i) {
        if (calendarIDs)
            calendarIDs->push_back(cloudEventCalendars[i]);
        result.events.push_back(std::move(cloudEvents[i]));
    }
    result.fetchedAt = now;
    co_return result;
}

} // namespace brivane
