// Calendar lists and events of the connected accounts: one refresh brings every account up to
// date, account after account, page after page; a failing account keeps what was known before.

#include "Brivane/Logging.h"
#include "Brivane/cloud/CloudCalendarPages.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/CloudEventDate.h"
#include "Brivane/cloud/CloudUrls.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QPointer>
#include <QUrl>
#include <algorithm>
#include <functional>

namespace brivane {

namespace {

const PageFormat& pageFormat(CloudCalendarProvider provider) {
    return provider == CloudCalendarProvider::microsoft ? graphPageFormat : googlePageFormat;
}

[[noreturn]] void stopPaging(PageTrail::Step step) {
    if (step == PageTrail::Step::repeated)
        throw CloudCalendarError::provider(AgendaLanguage::text(
            "Il provider ha rimandato una pagina già letta; lettura interrotta.",
            "The provider sent a page it had already sent; reading stopped."));
    throw CloudCalendarError::provider(AgendaLanguage::text(
        "Il provider ha inviato più di " + std::to_string(PageTrail::pageLimit) +
            " pagine; lettura interrotta.",
        "The provider sent more than " + std::to_string(PageTrail::pageLimit) +
            " pages; reading stopped."));
}

} // namespace

CloudCalendarChoice CloudCalendarService::ProviderCalendar::choice() const {
    return CloudCalendarChoice{std::string(rawValue(account.provider)) + ":" + account.subject +
                                   ":" + id,
                               name, account.id(), account.provider};
}

// Pages through a list: Google repeats the first request with the newest "pageToken"; Graph
// hands over the next page's whole URL, which is only followed on the Graph host itself, so
// the bearer token never goes anywhere else.
namespace {

struct PageWalk {
    CloudCalendarProvider provider;
    QUrl first;
    QUrl graphBase;
    PageTrail trail;

    // The next page's URL, or empty when the list is complete. Throws on a page that would
    // loop or leave the provider.
    QUrl next(const std::optional<std::string>& continuation) {
        if (!continuation)
            return {};
        if (const auto step = trail.admit(*continuation); step != PageTrail::Step::follow)
            stopPaging(step);
        if (provider == CloudCalendarProvider::google) {
            QUrl url = first;
            url.setQuery(first.query(QUrl::FullyEncoded) + QStringLiteral("&pageToken=") +
                             queryValue(*continuation),
                         QUrl::StrictMode);
            return url;
        }
        const QUrl link(QString::fromStdString(*continuation), QUrl::StrictMode);
        if (!link.isValid() || !sameOrigin(link, graphBase))
            throw CloudCalendarError::provider(AgendaLanguage::text(
                "Microsoft Graph ha indicato la pagina successiva su un altro indirizzo; "
                "lettura interrotta.",
                "Microsoft Graph pointed to the next page on another address; reading "
                "stopped."));
        return link;
    }
};

// Takes one page and gives its continuation.
using PageReader = std::function<std::optional<std::string>(const nlohmann::json&)>;

// Requests the pages of one list strictly one after the other. Stops quietly when the service
// goes away.
QCoro::Task<> walkPages(CloudCalendarService* owner, CloudCalendarProvider provider, QUrl first,
                        std::string accessToken, PageReader read) {
    const QPointer<CloudCalendarService> service(owner);
    const QString token = QString::fromStdString(accessToken);
    PageWalk walk{provider,
                  first,
                  QUrl(QString::fromStdString(owner->configuration().microsoftGraphBaseURL)),
                  {}};
    for (QUrl url = first; !url.isEmpty();) {
        CloudCalendarService* alive = service.data();
        if (!alive)
            co_return;
        const nlohmann::json page = co_await alive->getJSON(url, token);
        url = walk.next(read(page));
    }
}

} // namespace

QCoro::Task<std::vector<CloudCalendarService::ProviderCalendar>>
CloudCalendarService::fetchCalendars(CloudCalendarAccount account, std::string accessToken) {
    const bool microsoft = account.provider == CloudCalendarProvider::microsoft;
    const QUrl first =
        microsoft ? apiURL(configuration_.microsoftGraphBaseURL,
                           QStringLiteral("/v1.0/me/calendars?$select=id,name&$top=100"))
                  : apiURL(configuration_.googleCalendarBaseURL,
                           QStringLiteral("/calendar/v3/users/me/calendarList?maxResults=250"));
    std::vector<ProviderCalendar> calendars;
    if (first.isEmpty())
        co_return calendars;

    PageReader read = [&](const nlohmann::json& page) {
        auto listed = calendarPage(page, pageFormat(account.provider));
        for (auto& calendar : listed.items)
            calendars.push_back({std::move(calendar.id), std::move(calendar.name), account});
        return listed.next;
    };
    co_await walkPages(this, account.provider, first, accessToken, std::move(read));
    co_return calendars;
}

QCoro::Task<std::vector<CloudEvent>> CloudCalendarService::fetchEvents(ProviderCalendar calendar,
                                                                       CloudCalendarAccount account,
                                                                       std::string accessToken) {
    const Calendar local = AgendaDates::calendar();
    const Date instant = now();
    const std::string windowStart = isoInstantText(local.startOfDay(instant));
    const std::string windowEnd = isoInstantText(AgendaDates::endOfWeek(instant, local));
    const QString id = pathSegment(calendar.id);

    const bool microsoft = account.provider == CloudCalendarProvider::microsoft;
    const QUrl first =
        microsoft
            ? apiURL(configuration_.microsoftGraphBaseURL,
                     QStringLiteral("/v1.0/me/calendars/") + id +
                         QStringLiteral("/calendarView?startDateTime=") + queryValue(windowStart) +
                         QStringLiteral("&endDateTime=") + queryValue(windowEnd) +
                         QStringLiteral(
                             "&$select=id,subject,start,end,isAllDay,isCancelled&$top=1000"))
            : apiURL(configuration_.googleCalendarBaseURL,
                     QStringLiteral("/calendar/v3/calendars/") + id +
                         QStringLiteral("/events?timeMin=") + queryValue(windowStart) +
                         QStringLiteral("&timeMax=") + queryValue(windowEnd) +
                         QStringLiteral("&singleEvents=true&orderBy=startTime&maxResults=2500"));
    std::vector<CloudEvent> events;
    if (first.isEmpty())
        co_return events;

    const std::string calendarID = calendar.choice().id;
    const std::string accountID = account.id();
    PageReader read = [&](const nlohmann::json& page) {
        auto listed = eventPage(page, pageFormat(account.provider), local);
        for (auto& event : listed.items)
            events.push_back({calendarID, accountID, std::move(event.id), std::move(event.title),
                              event.start, event.end, event.allDay});
        return listed.next;
    };
    co_await walkPages(this, account.provider, first, accessToken, std::move(read));
    co_return events;
}

QCoro::Task<> CloudCalendarService::refresh(KeyringAccess access) {
    const QPointer<CloudCalendarService> self(this);
    setSyncing(true);
    // Until the keyring can be read nothing is fetched and the published data stays.
    const bool ready = co_await accountsReadyForRefresh(access);
    if (!self)
        co_return;
    if (!ready) {
        setSyncing(false);
        co_return;
    }
    if (accounts_.empty()) {
        setCalendars({});
        events_.clear();
        setSyncError(std::nullopt);
        setSyncing(false);
        co_return;
    }

    std::vector<CloudCalendarChoice> choices;
    std::vector<CloudEvent> events;
    std::optional<std::string> message;
    const std::vector<CloudCalendarAccount> accounts = accounts_;
    for (const CloudCalendarAccount& account : accounts) {
        std::vector<CloudCalendarChoice> accountChoices;
        std::vector<CloudEvent> accountEvents;
        std::exception_ptr failure;
        try {
            const std::string token = co_await freshAccessToken(account);
            if (!self)
                co_return;
            const auto calendars = co_await fetchCalendars(account, token);
            for (const ProviderCalendar& calendar : calendars) {
                if (!self)
                    co_return;
                accountChoices.push_back(calendar.choice());
                auto more = co_await fetchEvents(calendar, account, token);
                accountEvents.insert(accountEvents.end(), std::make_move_iterator(more.begin()),
                                     std::make_move_iterator(more.end()));
            }
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self)
            co_return;
        qCDebug(lcCloud) << "Account read:" << accountChoices.size() << "calendars,"
                         << accountEvents.size() << "events" << (failure ? "(failed)" : "");
        // An account removed while we waited contributes nothing and says nothing.
        const std::string id = account.id();
        if (std::none_of(accounts_.begin(), accounts_.end(),
                         [&](const CloudCalendarAccount& a) { return a.id() == id; }))
            continue;
        if (failure) {
            message = localized(failure);
            accountChoices.clear();
            std::copy_if(calendars_.begin(), calendars_.end(), std::back_inserter(accountChoices),
                         [&](const CloudCalendarChoice& c) { return c.account == id; });
            accountEvents.clear();
            std::copy_if(events_.begin(), events_.end(), std::back_inserter(accountEvents),
                         [&](const CloudEvent& e) { return e.accountID == id; });
        }
        choices.insert(choices.end(), accountChoices.begin(), accountChoices.end());
        events.insert(events.end(), std::make_move_iterator(accountEvents.begin()),
                      std::make_move_iterator(accountEvents.end()));
    }

    std::stable_sort(choices.begin(), choices.end(),
                     [](const CloudCalendarChoice& a, const CloudCalendarChoice& b) {
                         const auto pa = rawValue(a.provider), pb = rawValue(b.provider);
                         if (pa != pb)
                             return pa < pb;
                         if (a.account != b.account)
                             return a.account < b.account;
                         return a.name < b.name;
                     });
    setCalendars(std::move(choices));
    events_ = std::move(events);
    setSyncError(message);
    setSyncing(false);
}

std::vector<AgendaEvent>
CloudCalendarService::agendaEvents(const std::map<std::string, AgendaGroup>& assignments) const {
    std::vector<AgendaEvent> result;
    for (const CloudEvent& event : events_) {
        const auto group = assignments.find(event.calendarID);
        if (group == assignments.end())
            continue;
        result.emplace_back(event.calendarID + ":" + event.id, event.title, event.start, event.end,
                            event.allDay, group->second);
    }
    return result;
}

} // namespace brivane
