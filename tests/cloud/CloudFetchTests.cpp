// Fetching calendar lists and events: the real service, the real keyring and token refresh,
// and a loopback server playing the Google Calendar API and Microsoft Graph.

#include "Brivane/cloud/CloudAccountKeyring.h"
#include "Brivane/cloud/CloudCalendarPages.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/CloudEventDate.h"
#include "Brivane/cloud/OAuthProtocol.h"
#include "CloudTestSupport.h"

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

namespace brivane {
namespace {

using test::HttpRequest;
using test::HttpResponse;
using test::LoopbackHttpServer;
using test::MockProvider;
using test::waitUntil;

class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            previous_ = old;
        setenv(name, value, 1);
    }
    ~EnvironmentGuard() {
        if (previous_)
            setenv(name_, previous_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi}};
}

const CloudCalendarAccount google{CloudCalendarProvider::google, "g-sub", "ada@gmail.com", "rt-g"};
const CloudCalendarAccount microsoft{CloudCalendarProvider::microsoft, "m-sub", "ada@outlook.com",
                                     "rt-m"};

class CloudFetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        auth.liveRefreshTokens = {{"rt-g", "g-sub"}, {"rt-m", "m-sub"}};
        keyring =
            "it.quillmere.Brivane.fetch-test-" + QString::fromStdString(oauth::randomToken(6));
        const Calendar local = AgendaDates::calendar();
        windowStart = isoInstantText(local.startOfDay(now));
        windowEnd = isoInstantText(AgendaDates::endOfWeek(now, local));
    }

    void start(const std::vector<CloudCalendarAccount>& accounts) {
        if (!accounts.empty()) {
            const auto written = QCoro::waitFor(
                CloudAccountKeyring(keyring).write(CloudCalendarAccount::encode(accounts)));
            ASSERT_TRUE(written.ok) << written.message;
        }
        CloudCalendarService::Options options;
        options.configuration = auth.configuration();
        options.configuration->googleCalendarBaseURL = api.baseURL().toStdString();
        options.configuration->microsoftGraphBaseURL = api.baseURL().toStdString();
        options.keyringService = keyring;
        options.accountNote = test::accountNote(!accounts.empty());
        options.now = [this] { return now; };
        service = std::make_unique<CloudCalendarService>(std::move(options));
        ASSERT_TRUE(waitUntil([&] { return service->accountsLoaded(); }));
    }

    void refresh() { QCoro::waitFor(service->refresh()); }

    // Answers from `routes`, keyed by the raw path and the page token ("pageToken" for Google,
    // "$skiptoken" for Graph; empty on a first page).
    HttpResponse answer(const HttpRequest& request) {
        if (!request.header("Authorization").startsWith("Bearer ") ||
            request.header("Accept") != "application/json")
            return HttpResponse::json(401, R"({"error":{"message":"no token"}})");
        const QUrlQuery query = request.query();
        QString token = query.queryItemValue("pageToken", QUrl::FullyDecoded);
        if (token.isEmpty())
            token = query.queryItemValue("$skiptoken", QUrl::FullyDecoded);
        const auto found = routes.find((request.path() + "|" + token).toStdString());
        if (found == routes.end())
            return HttpResponse::json(404, R"({"error":{"message":"no such route"}})");
        return found->second;
    }

    void route(const std::string& key, const std::string& body, int status = 200) {
        routes[key] = HttpResponse::json(status, QByteArray::fromStdString(body));
    }

    std::string graphLink(const std::string& pathAndQuery) const {
        return api.baseURL().toStdString() + pathAndQuery;
    }

    std::vector<QByteArray> targets() const {
        std::vector<QByteArray> list;
        for (const auto& request : api.requests())
            list.push_back(request.target);
        return list;
    }

    // Both accounts with several pages of calendars and events, every date form.
    void serveBothAccounts(const std::string& standupTitle = "Standup") {
        route("/calendar/v3/users/me/calendarList|",
              R"({"items":[{"id":"primary","summary":"Personal"},
                           {"id":"team/x#y","summary":"Board"},
                           {"summary":"no id"}],"nextPageToken":"c2"})");
        route("/calendar/v3/users/me/calendarList|c2",
              R"({"items":[{"id":"holidays","summary":"Holidays"}]})");
        route("/calendar/v3/calendars/primary/events|",
              R"({"items":[{"id":"e1","summary":")" + standupTitle + R"(",
                  "start":{"dateTime":"2026-12-09T10:00:00+01:00"},
                  "end":{"dateTime":"2026-12-09T10:15:00+01:00"}},
                 {"id":"gone","status":"cancelled","start":{"date":"2026-12-10"},
                  "end":{"date":"2026-12-11"}}],"nextPageToken":"p2"})");
        route("/calendar/v3/calendars/primary/events|p2",
              R"({"items":[{"id":"e2","summary":"Trip","start":{"date":"2026-12-10"},
                  "end":{"date":"2026-12-12"}}],"nextPageToken":"p3"})");
        route("/calendar/v3/calendars/primary/events|p3",
              R"({"items":[{"id":"e3","start":{"dateTime":"2026-12-11T18:00:00Z"},
                  "end":{"dateTime":"2026-12-11T19:00:00Z"}}]})");
        route("/calendar/v3/calendars/team%2Fx%23y/events|",
              R"({"items":[{"id":"b1","summary":"Board meeting",
                  "start":{"dateTime":"2026-12-09T15:00:00+01:00"},
                  "end":{"dateTime":"2026-12-09T16:00:00+01:00"}}]})");
        route("/calendar/v3/calendars/holidays/events|", R"({"items":[]})");

        route("/v1.0/me/calendars|",
              R"({"value":[{"id":"AAMk=","name":"Calendar"}],"@odata.nextLink":")" +
                  graphLink("/v1.0/me/calendars?$select=id,name&$top=100&$skiptoken=2") + R"("})");
        route("/v1.0/me/calendars|2", R"({"value":[{"id":"AAMl","name":"Birthdays"}]})");
        route("/v1.0/me/calendars/AAMk=/calendarView|",
              R"({"value":[{"id":"m1","subject":"Review","isAllDay":false,"isCancelled":false,
                  "start":{"dateTime":"2026-12-09T13:00:00.0000000","timeZone":"UTC"},
                  "end":{"dateTime":"2026-12-09T14:00:00.0000000","timeZone":"UTC"}},
                 {"id":"m2","subject":"Dropped","isCancelled":true,
                  "start":{"dateTime":"2026-12-09T13:00:00.0000000","timeZone":"UTC"},
                  "end":{"dateTime":"2026-12-09T14:00:00.0000000","timeZone":"UTC"}}]})");
        route("/v1.0/me/calendars/AAMl/calendarView|",
              R"({"value":[{"id":"m3","subject":"Ada","isAllDay":true,
                  "start":{"dateTime":"2026-12-10T00:00:00.0000000","timeZone":"UTC"},
                  "end":{"dateTime":"2026-12-11T00:00:00.0000000","timeZone":"UTC"}}]})");
    }

    EnvironmentGuard zone{"TZ", "Europe/Rome"};
    EnvironmentGuard language{"LANGUAGE", "en"};
    // Wednesday 9 December 2026, 10:00 in Rome.
    Date now = utc(2026, 12, 9, 9);
    std::string windowStart, windowEnd;
    MockProvider auth;
    std::map<std::string, HttpResponse> routes;
    LoopbackHttpServer api{[this](const HttpRequest& request) { return answer(request); }};
    QString keyring;
    std::unique_ptr<CloudCalendarService> service;
};

TEST_F(CloudFetchTest, ListsAndEventsOfBothProvidersAcrossPages) {
    serveBothAccounts();
    ASSERT_NO_FATAL_FAILURE(start({microsoft, google}));
    int calendarSignals = 0;
    QObject::connect(service.get(), &CloudCalendarService::calendarsChanged,
                     [&] { ++calendarSignals; });
    refresh();
    EXPECT_EQ(service->syncError(), std::nullopt);

    // Google before Microsoft; within an account by name.
    std::vector<std::string> names;
    for (const auto& choice : service->calendars())
        names.push_back(choice.account + " " + choice.name);
    EXPECT_EQ(names, (std::vector<std::string>{"google:g-sub Board", "google:g-sub Holidays",
                                               "google:g-sub Personal", "microsoft:m-sub Birthdays",
                                               "microsoft:m-sub Calendar"}));
    EXPECT_EQ(service->calendars()[0],
              (CloudCalendarChoice{"google:g-sub:team/x#y", "Board", "google:g-sub",
                                   CloudCalendarProvider::google}));

    // Events: account by account in stored order, calendar by calendar, page by page.
    std::vector<std::string> ids;
    for (const auto& event : service->events())
        ids.push_back(event.calendarID + "/" + event.id);
    EXPECT_EQ(ids,
              (std::vector<std::string>{"microsoft:m-sub:AAMk=/m1", "microsoft:m-sub:AAMl/m3",
                                        "google:g-sub:primary/e1", "google:g-sub:primary/e2",
                                        "google:g-sub:primary/e3", "google:g-sub:team/x#y/b1"}));
    const auto& events = service->events();
    EXPECT_EQ(events[0], (CloudEvent{"microsoft:m-sub:AAMk=", "microsoft:m-sub", "m1", "Review",
                                     utc(2026, 12, 9, 13), utc(2026, 12, 9, 14), false}));
    EXPECT_EQ(events[1].start, utc(2026, 12, 9, 23));
    EXPECT_EQ(events[1].end, utc(2026, 12, 10, 23));
    EXPECT_TRUE(events[1].allDay);
    EXPECT_EQ(events[3], (CloudEvent{"google:g-sub:primary", "google:g-sub", "e2", "Trip",
                                     utc(2026, 12, 9, 23), utc(2026, 12, 11, 23), true}));
    EXPECT_EQ(events[4].title, "");

    // The requests, their query items in order; later Google pages carry only the newest token.
    const std::string googleEvents = "?timeMin=" + windowStart + "&timeMax=" + windowEnd +
                                     "&singleEvents=true&orderBy=startTime&maxResults=2500";
    const std::string graphEvents = "?startDateTime=" + windowStart + "&endDateTime=" + windowEnd +
                                    "&$select=id,subject,start,end,isAllDay,isCancelled&$top=1000";
    EXPECT_EQ(windowStart, "2026-12-08T23:00:00Z");
    const std::vector<QByteArray> expected = {
        "/v1.0/me/calendars?$select=id,name&$top=100",
        "/v1.0/me/calendars?$select=id,name&$top=100&$skiptoken=2",
        QByteArray::fromStdString("/v1.0/me/calendars/AAMk=/calendarView" + graphEvents),
        QByteArray::fromStdString("/v1.0/me/calendars/AAMl/calendarView" + graphEvents),
        "/calendar/v3/users/me/calendarList?maxResults=250",
        "/calendar/v3/users/me/calendarList?maxResults=250&pageToken=c2",
        QByteArray::fromStdString("/calendar/v3/calendars/primary/events" + googleEvents),
        QByteArray::fromStdString("/calendar/v3/calendars/primary/events" + googleEvents +
                                  "&pageToken=p2"),
        QByteArray::fromStdString("/calendar/v3/calendars/primary/events" + googleEvents +
                                  "&pageToken=p3"),
        QByteArray::fromStdString("/calendar/v3/calendars/team%2Fx%23y/events" + googleEvents),
        QByteArray::fromStdString("/calendar/v3/calendars/holidays/events" + googleEvents),
    };
    EXPECT_EQ(targets(), expected);

    // Only assigned calendars reach the agenda, with ids made of calendar and event.
    const auto agenda = service->agendaEvents({{"google:g-sub:primary", AgendaGroup::ostrid},
                                               {"microsoft:m-sub:AAMl", AgendaGroup::personal},
                                               {"google:g-sub:unknown", AgendaGroup::ostrid}});
    ASSERT_EQ(agenda.size(), 4u);
    EXPECT_EQ(agenda[0].id, "microsoft:m-sub:AAMl:m3");
    EXPECT_EQ(agenda[0].group, AgendaGroup::personal);
    EXPECT_EQ(agenda[1].id, "google:g-sub:primary:e1");
    EXPECT_EQ(agenda[3].title, "Untitled");

    // The same answer again changes nothing observable.
    refresh();
    EXPECT_EQ(calendarSignals, 1);
}

TEST_F(CloudFetchTest, AFailingAccountKeepsItsPreviousData) {
    serveBothAccounts();
    ASSERT_NO_FATAL_FAILURE(start({google, microsoft}));
    refresh();
    const auto before = service->events();
    ASSERT_EQ(before.size(), 6u);

    serveBothAccounts("Standup, moved");
    route("/v1.0/me/calendars|", R"({"error":{"code":"x","message":"Graph is resting"}})", 503);
    refresh();
    EXPECT_EQ(service->syncError(), "Graph is resting");
    ASSERT_EQ(service->events().size(), 6u);
    EXPECT_EQ(service->events()[0].title, "Standup, moved");
    // Microsoft's events and calendars are the previous ones.
    EXPECT_EQ(std::vector<CloudEvent>(service->events().begin() + 4, service->events().end()),
              std::vector<CloudEvent>(before.begin() + 4, before.end()));
    EXPECT_EQ(service->calendars().size(), 5u);

    // A token that the provider no longer accepts fails that account the same way.
    auth.liveRefreshTokens.erase("rt-g");
    serveBothAccounts();
    refresh();
    EXPECT_EQ(service->syncError(), "unknown refresh token");
    EXPECT_EQ(service->events()[0].title, "Standup, moved");
    EXPECT_EQ(service->calendars().size(), 5u);

    // Everything well again: the message goes.
    auth.liveRefreshTokens["rt-g"] = "g-sub";
    refresh();
    EXPECT_EQ(service->syncError(), std::nullopt);
    EXPECT_EQ(service->events()[0].title, "Standup");
}

TEST_F(CloudFetchTest, PagingThatWouldNeverEndStops) {
    ASSERT_NO_FATAL_FAILURE(start({google, microsoft}));

    // Google sends the same page token again and again; Graph never stops handing out links.
    int graphPages = 0;
    route("/calendar/v3/users/me/calendarList|", R"({"items":[],"nextPageToken":"again"})");
    route("/calendar/v3/users/me/calendarList|again", R"({"items":[],"nextPageToken":"again"})");
    api.setHandler([&](const HttpRequest& request) {
        if (!request.path().startsWith("/v1.0/"))
            return answer(request);
        ++graphPages;
        return HttpResponse::json(
            200, QByteArray::fromStdString(
                     R"({"value":[],"@odata.nextLink":")" +
                     graphLink("/v1.0/me/calendars?$skiptoken=" + std::to_string(graphPages)) +
                     R"("})"));
    });
    refresh();
    EXPECT_EQ(graphPages, PageTrail::pageLimit);
    EXPECT_EQ(service->syncError(), "The provider sent more than 500 pages; reading stopped.");
    int googlePages = 0;
    for (const auto& target : targets())
        googlePages += target.startsWith("/calendar/v3/users/me/calendarList");
    EXPECT_EQ(googlePages, 2);

    // Only Google now: its message is the last one.
    api.setHandler([this](const HttpRequest& request) { return answer(request); });
    route("/v1.0/me/calendars|", R"({"value":[]})");
    refresh();
    EXPECT_EQ(service->syncError(),
              "The provider sent a page it had already sent; reading stopped.");
}

TEST_F(CloudFetchTest, TheTokenNeverLeavesTheProviderHost) {
    LoopbackHttpServer elsewhere(
        [](const HttpRequest&) { return HttpResponse::json(200, R"({"value":[]})"); });
    serveBothAccounts();
    ASSERT_NO_FATAL_FAILURE(start({microsoft}));
    refresh();
    ASSERT_EQ(service->events().size(), 2u);

    // A next link to another host is not followed at all, and the account keeps its data.
    route("/v1.0/me/calendars|",
          R"({"value":[{"id":"AAMk=","name":"Calendar"}],"@odata.nextLink":")" +
              elsewhere.baseURL().toStdString() + R"(/v1.0/me/calendars?$skiptoken=2"})");
    refresh();
    EXPECT_TRUE(elsewhere.requests().empty());
    EXPECT_EQ(service->syncError(), "Microsoft Graph pointed to the next page on another "
                                    "address; reading stopped.");
    EXPECT_EQ(service->events().size(), 2u);

    // A redirect to another host is followed without the Authorization header.
    serveBothAccounts();
    routes["/v1.0/me/calendars/AAMl/calendarView|"] =
        HttpResponse::redirect(elsewhere.baseURL().toLatin1() + "/moved", 307);
    refresh();
    ASSERT_EQ(elsewhere.requests().size(), 1u);
    EXPECT_EQ(elsewhere.requests()[0].path(), "/moved");
    EXPECT_TRUE(elsewhere.requests()[0].header("Authorization").isEmpty());
    EXPECT_EQ(service->syncError(), std::nullopt);
}

TEST_F(CloudFetchTest, NoAccountsAndAnAccountRemovedWhileFetching) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    refresh();
    EXPECT_TRUE(service->calendars().empty());
    EXPECT_TRUE(service->events().empty());
    EXPECT_TRUE(api.requests().empty());

    serveBothAccounts();
    service.reset();
    ASSERT_NO_FATAL_FAILURE(start({google, microsoft}));
    // Microsoft is removed while its calendars are being listed, and fails too: it contributes
    // nothing and says nothing.
    api.setHandler([this](const HttpRequest& request) {
        if (request.path() == "/v1.0/me/calendars") {
            QCoro::waitFor(service->remove(microsoft));
            return HttpResponse::json(500, {});
        }
        return answer(request);
    });
    refresh();
    ASSERT_EQ(service->accounts().size(), 1u);
    EXPECT_EQ(service->syncError(), std::nullopt);
    EXPECT_EQ(service->calendars().size(), 3u);
    for (const auto& event : service->events())
        EXPECT_EQ(event.accountID, "google:g-sub");
}

} // namespace
} // namespace brivane
