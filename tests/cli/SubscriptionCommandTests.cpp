// Calendars by address from the terminal, as a user runs the program: the address is served over
// loopback http (typed as such), the keyring is the session's.

#include "../cloud/CloudTestSupport.h"
#include "Brivane/calendar/ICalendarStore.h"
#include "TestSession.h"

#include <QDirIterator>
#include <QProcess>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brivane {
namespace {

using test::HttpRequest;
using test::HttpResponse;

constexpr const char* token = "Zq7-private-token-42";

const QByteArray ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                       "X-WR-CALNAME:Fixtures\r\n"
                       "BEGIN:VEVENT\r\nUID:match@test\r\nDTSTAMP:20260101T000000Z\r\n"
                       "DTSTART;TZID=Europe/Rome:20261020T180000\r\n"
                       "DTEND;TZID=Europe/Rome:20261020T200000\r\n"
                       "RRULE:FREQ=WEEKLY;COUNT=4\r\nSUMMARY:Match\r\nEND:VEVENT\r\n"
                       "BEGIN:VEVENT\r\nUID:final@test\r\nDTSTAMP:20260101T000000Z\r\n"
                       "DTSTART;VALUE=DATE:20261021\r\nSUMMARY:Final\r\nEND:VEVENT\r\n"
                       "END:VCALENDAR\r\n";

struct Home {
    Home() : root(test::freshDirectory("subscription-commands")) {}

    // Runs pellora while this process keeps answering the server's requests.
    int run(const QStringList& arguments, std::string* out, std::string* err) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", root + "/home $'\"");
        env.insert("XDG_DATA_HOME", root + "/data");
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("XDG_CACHE_HOME", root + "/cache");
        env.insert("TZ", "Europe/Rome");
        env.insert("LANGUAGE", "en_GB");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        process.setProcessEnvironment(env);
        process.start(PELLORA_EXECUTABLE, arguments);
        EXPECT_TRUE(
            test::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
        *out = process.readAllStandardOutput().toStdString();
        *err = process.readAllStandardError().toStdString();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QStringList filesHoldingToken() const {
        QStringList found;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(token))
                found << file.fileName();
        }
        return found;
    }

    QString root;
};

// Subscribe, list, the agenda (the same events as the same file in a folder), the sources, and
// removal; the address's token is printed nowhere and written to no file.
TEST(SubscriptionCommands, SubscribeListAgendaUnsubscribe) {
    test::LoopbackHttpServer server([](const HttpRequest&) {
        HttpResponse response;
        response.body = ics;
        response.contentType = "text/calendar";
        response.headers.append(QPair<QByteArray, QByteArray>("ETag", "\"1\""));
        return response;
    });
    Home home;
    const std::string folder = home.root.toStdString() + "/data/calendars/fixtures/";
    QDir().mkpath(QString::fromStdString(folder));
    QFile file(QString::fromStdString(folder + "fixtures.ics"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ics);
    file.close();
    const QString address =
        server.baseURL() + "/u/" + token + "/basic.ics?key=" + QString::fromLatin1(token);
    std::string out, err;

    ASSERT_EQ(home.run({"--subscribe", address}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Subscribed to \"Fixtures\"."), std::string::npos) << out;
    const std::string id = out.substr(out.find('\t') + 1, 36);

    // Without access to the calendar files the subscription alone is the agenda, and no failure.
    ASSERT_EQ(home.run({"--agenda", "--json", "--all", "--date", "2026-10-20"}, &out, &err), 0)
        << err;
    EXPECT_EQ(err, "");
    const auto alone = nlohmann::json::parse(out);
    EXPECT_EQ(alone["events"].size(), 2u) << out;
    for (const auto& event : alone["events"])
        EXPECT_EQ(event["calendar"], id);

    {
        QDir().mkpath(home.root + "/data/Brivane");
        ICalendarStore::Options options;
        options.configFile = home.root.toStdString() + "/data/Brivane/calendar-sources.json";
        ICalendarStore store(options);
        QCoro::waitFor(store.requestFullAccess(CalendarEntity::event));
    }

    ASSERT_EQ(home.run({"--subscriptions"}, &out, &err), 0) << err;
    EXPECT_EQ(out, id + "\tFixtures\t127.0.0.1:" + std::to_string(server.port()) + "\n");

    ASSERT_EQ(home.run({"--agenda", "--json", "--all", "--date", "2026-10-20"}, &out, &err), 0)
        << err;
    std::map<std::string, std::set<std::string>> byCalendar;
    const auto agenda = nlohmann::json::parse(out);
    for (const auto& event : agenda["events"])
        byCalendar[event["calendar"].get<std::string>()].insert(
            event["title"].get<std::string>() + " " + event["start"].get<std::string>() + " " +
            event["end"].get<std::string>());
    ASSERT_EQ(byCalendar.size(), 2u) << out;
    ASSERT_TRUE(byCalendar.count(id)) << out;
    EXPECT_EQ(byCalendar[id],
              byCalendar[ICalendarStore::calendarID(folder.substr(0, folder.size() - 1))]);
    EXPECT_EQ(byCalendar[id].size(), 2u) << out;

    ASSERT_EQ(home.run({"--sources"}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Subscriptions (1)"), std::string::npos) << out;
    EXPECT_NE(out.find("Fixtures — 127.0.0.1"), std::string::npos) << out;

    ASSERT_EQ(home.run({"--unsubscribe", QString::fromStdString(id)}, &out, &err), 0) << err;
    EXPECT_EQ(out, "Unsubscribed from \"Fixtures\".\n");
    ASSERT_EQ(home.run({"--subscriptions"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "pellora: No subscriptions.\n");
    EXPECT_TRUE(QDir(home.root + "/cache/Brivane/subscriptions").isEmpty());
    EXPECT_TRUE(home.filesHoldingToken().isEmpty())
        << home.filesHoldingToken().join(' ').toStdString();
    EXPECT_EQ(server.requests().size(), 4u) << "subscribe, agendas and sources each fetch once";
}

// A server that answers with a sign-in page and an address of a kind not supported: one line
// each, nothing stored, and no token in the output.
TEST(SubscriptionCommands, RefusedAddresses) {
    test::LoopbackHttpServer server([](const HttpRequest&) {
        HttpResponse page;
        page.body = "<html><body>Sign in</body></html>";
        page.contentType = "text/html; charset=utf-8";
        return page;
    });
    Home home;
    std::string out, err;
    EXPECT_EQ(home.run({"--subscribe", server.baseURL() + "/" + token}, &out, &err), 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("answers with a web page"), std::string::npos) << err;
    EXPECT_EQ(err.find(token), std::string::npos) << err;
    EXPECT_EQ(home.run({"--subscribe", QString("ftp://example.org/") + token}, &out, &err), 1);
    EXPECT_NE(err.find("ftp:// are not supported"), std::string::npos) << err;
    EXPECT_EQ(home.run({"--subscribe"}, &out, &err), 2);
    EXPECT_EQ(home.run({"--unsubscribe", "nope"}, &out, &err), 1);
    EXPECT_NE(err.find("No subscription with id 'nope'."), std::string::npos) << err;
    EXPECT_TRUE(home.filesHoldingToken().isEmpty());
}

} // namespace
} // namespace brivane
