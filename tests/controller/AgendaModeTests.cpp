#include "ControllerTestSupport.h"

#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <qcoro/qcorotask.h>

namespace brivane {
namespace {

const std::string rome = "BEGIN:VTIMEZONE\r\nTZID:Europe/Rome\r\n"
                         "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                         "TZNAME:CEST\r\nDTSTART:19700329T020000\r\n"
                         "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                         "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                         "TZNAME:CET\r\nDTSTART:19701025T030000\r\n"
                         "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                         "END:VTIMEZONE\r\n";

std::string calendar(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + rome + body +
           "END:VCALENDAR\r\n";
}

// A private home with one vdir calendar around the change from summer time on Sunday
// 25 October 2026, and a task list.
struct AgendaHome {
    AgendaHome() {
        root = test::freshDirectory("agenda");
        data = root + "/data";
        const std::string home = data.toStdString() + "/calendars/home/";
        test::writeFile(home + "displayname", "Home");
        test::writeFile(home + "coffee.ics",
                        calendar("BEGIN:VEVENT\r\nUID:coffee\r\nSUMMARY:Coffee\r\n"
                                 "DTSTART;TZID=Europe/Rome:20261020T090000\r\n"
                                 "DTEND;TZID=Europe/Rome:20261020T093000\r\n"
                                 "RRULE:FREQ=DAILY;COUNT=10\r\nEND:VEVENT\r\n"
                                 "BEGIN:VEVENT\r\nUID:coffee\r\nSUMMARY:Late coffee\r\n"
                                 "RECURRENCE-ID;TZID=Europe/Rome:20261025T090000\r\n"
                                 "DTSTART;TZID=Europe/Rome:20261025T110000\r\n"
                                 "DTEND;TZID=Europe/Rome:20261025T113000\r\nEND:VEVENT\r\n"));
        test::writeFile(home + "dropped.ics",
                        calendar("BEGIN:VEVENT\r\nUID:dropped\r\nSUMMARY:Dropped\r\n"
                                 "STATUS:CANCELLED\r\n"
                                 "DTSTART;TZID=Europe/Rome:20261024T150000\r\n"
                                 "DTEND;TZID=Europe/Rome:20261024T160000\r\nEND:VEVENT\r\n"));
        test::writeFile(home + "fair.ics",
                        calendar("BEGIN:VEVENT\r\nUID:fair\r\nSUMMARY:Fair\r\n"
                                 "DTSTART;VALUE=DATE:20261024\r\nDTEND;VALUE=DATE:20261025\r\n"
                                 "END:VEVENT\r\n"));
        test::writeFile(home + "trip.ics",
                        calendar("BEGIN:VEVENT\r\nUID:trip\r\nSUMMARY:Trip\r\n"
                                 "DTSTART;TZID=Europe/Rome:20261023T180000\r\n"
                                 "DTEND;TZID=Europe/Rome:20261025T100000\r\nEND:VEVENT\r\n"));
        test::writeFile(data.toStdString() + "/calendars/todo/displayname", "Errands");
        test::writeFile(data.toStdString() + "/calendars/todo/milk.ics",
                        calendar("BEGIN:VTODO\r\nUID:milk\r\nSUMMARY:Milk\r\n"
                                 "DUE;TZID=Europe/Rome:20261024T180000\r\nEND:VTODO\r\n"));
        calendarID = ICalendarStore::calendarID(data.toStdString() + "/calendars/home");
    }

    void consent() {
        QDir().mkpath(data + "/Brivane");
        ICalendarStore::Options options;
        options.configFile = data.toStdString() + "/Brivane/calendar-sources.json";
        ICalendarStore store(options);
        QCoro::waitFor(store.requestFullAccess(CalendarEntity::event));
        QCoro::waitFor(store.requestFullAccess(CalendarEntity::reminder));
    }

    int run(const QStringList& arguments, std::string* out, std::string* err = nullptr,
            bool sessionBus = true) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!sessionBus)
            env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        env.insert("HOME", root + "/home");
        env.insert("XDG_DATA_HOME", data);
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("TZ", "Europe/Rome");
        env.insert("LANGUAGE", "en_GB");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        process.setProcessEnvironment(env);
        process.start(test::pelloraExecutable(), arguments);
        process.waitForFinished(30000);
        *out = process.readAllStandardOutput().toStdString();
        const std::string errors = process.readAllStandardError().toStdString();
        if (err)
            *err = errors;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QString root;
    QString data;
    std::string calendarID;
};

TEST(AgendaMode, JsonAcrossTheEndOfSummerTime) {
    AgendaHome home;
    home.consent();
    std::string out, err;
    ASSERT_EQ(home.run({"--agenda", "--json", "--date", "2026-10-24"}, &out, &err), 0) << err;
    const auto json = nlohmann::json::parse(out);
    EXPECT_EQ(json["date"], "2026-10-24");
    EXPECT_EQ(json["timeZone"], "Europe/Rome");
    EXPECT_EQ(json["window"]["start"], "2026-10-24T00:00:00+02:00");
    EXPECT_EQ(json["window"]["end"], "2026-10-26T00:00:00+01:00");

    std::vector<std::string> seen;
    std::set<std::string> ids;
    for (const auto& event : json["events"]) {
        seen.push_back(event["title"].get<std::string>() + " " + event["start"].get<std::string>() +
                       " " + event["end"].get<std::string>() +
                       (event["allDay"].get<bool>() ? " all-day" : ""));
        EXPECT_TRUE(event["group"].is_null()) << "no calendar assigned: read all, no group";
        EXPECT_EQ(event["calendar"], home.calendarID);
        ids.insert(event["id"].get<std::string>());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "Fair 2026-10-24T00:00:00+02:00 2026-10-25T00:00:00+02:00 all-day",
                        "Trip 2026-10-23T18:00:00+02:00 2026-10-25T10:00:00+01:00",
                        "Coffee 2026-10-24T09:00:00+02:00 2026-10-24T09:30:00+02:00",
                        "Late coffee 2026-10-25T11:00:00+01:00 2026-10-25T11:30:00+01:00"}))
        << out;
    EXPECT_EQ(ids.size(), seen.size());
    EXPECT_EQ(json["groups"][0]["group"], "ostrid");
    EXPECT_EQ(json["groups"][0]["availability"], "notSelected");
    EXPECT_EQ(json["reminders"]["state"], "available");
    ASSERT_EQ(json["reminders"]["sections"].size(), 3u);
    EXPECT_EQ(json["reminders"]["sections"][0]["section"], "today");

    // With the calendar assigned, its events carry the group; --all changes nothing then.
    Preferences preferences;
    preferences.assignments[home.calendarID] = AgendaGroup::personal;
    preferences.groupNames = std::map<std::string, std::string>{{"personal", "Casa"}};
    test::writeFile(home.data.toStdString() + "/Brivane/preferences.json",
                    preferences.toJson().dump());
    ASSERT_EQ(home.run({"--agenda", "--json", "--date=2026-10-24", "--all"}, &out, &err), 0) << err;
    const auto assigned = nlohmann::json::parse(out);
    ASSERT_EQ(assigned["events"].size(), 4u);
    for (const auto& event : assigned["events"])
        EXPECT_EQ(event["group"], "personal");
    EXPECT_EQ(assigned["groups"][1]["name"], "Casa");
    EXPECT_EQ(assigned["groups"][1]["availability"], "available");
}

TEST(AgendaMode, TextForPeopleAndClearFailures) {
    AgendaHome home;
    std::string out, err;
    EXPECT_EQ(home.run({"--agenda", "--date", "2026-10-24"}, &out, &err), 1)
        << "without consent nothing can be read";
    EXPECT_NE(err.find("pellora: "), std::string::npos) << err;

    home.consent();
    ASSERT_EQ(home.run({"--agenda", "--date", "2026-10-24"}, &out, &err), 0) << err;
    EXPECT_EQ(out.rfind("Saturday 24 October 2026\n", 0), 0u) << out;
    EXPECT_NE(out.find("  All day  Fair\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  09:00\u201309:30  Coffee\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Rest of the week\nSunday 25 October\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  11:00\u201311:30  Late coffee\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Dropped"), std::string::npos) << "cancelled events are left out";

    EXPECT_EQ(home.run({"--agenda", "--date", "2026-02-30"}, &out, &err), 2);
    EXPECT_NE(err.find("2026-02-30"), std::string::npos) << err;
    EXPECT_EQ(home.run({"--agenda", "--bogus"}, &out, &err), 2);

    test::writeFile(home.data.toStdString() + "/Brivane/preferences.json", "{");
    EXPECT_EQ(home.run({"--agenda", "--json"}, &out, &err), 1);
    EXPECT_NE(err.find("Could not read settings: "), std::string::npos) << err;
    EXPECT_TRUE(out.empty());
}

// A terminal without a session bus (ssh, a cron job) and a user who never connected an account
// or chose a task list: every open task by due date, no keyring, no error.
TEST(AgendaMode, WithoutABusOrChosenListsEverythingIsShown) {
    AgendaHome home;
    home.consent();
    std::string out, err;
    for (const bool all : {false, true}) {
        QStringList arguments{"--agenda", "--date", "2026-10-24"};
        if (all)
            arguments << "--all";
        ASSERT_EQ(home.run(arguments, &out, &err, /*sessionBus=*/false), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_NE(out.find("Tasks\n  Today\n    Milk  (Errands"), std::string::npos) << out;
    }

    // With an account stored, the one missing source is said once.
    test::writeFile(home.root.toStdString() + "/config/Brivane/cloud-accounts.json",
                    R"({"accounts":true})");
    EXPECT_EQ(home.run({"--agenda", "--date", "2026-10-24"}, &out, &err, false), 1);
    const auto first = err.find("Reading cloud calendars: Keyring unavailable");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("Keyring", first + 40), std::string::npos) << err;
    EXPECT_NE(out.find("Milk"), std::string::npos) << "the rest is still shown";
}

} // namespace
} // namespace brivane
