// Calendar lists and events of the connected accounts: one refresh brings every account up to
// date, account after account, page after page; a failing account keeps what was known before.

#include "Brivane/Logging.h"
#include "Brivane/cloud/CloudCalendarPages.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/CloudEventDate.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QPointer>
#include <QUrl>
#include <algorithm>
#include <functional>

namespace brivane {

namespace {

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

// Takes one page and gives its continuation.
using PageReader = std::function<std::optional<std::string>(const nlohmann::json&)>;

// Requests the pages of one list strictly one after the other; the provider says where each
// continuation leads. Stops quietly when the service goes away.
QCoro::Task<> walkPages(CloudCalendarService* owner, CloudCalendarProvider kind, QUrl first,
                        std::string accessToken, PageReader read) {
    const QPointer<CloudCalendarService> service(owner);
    const QString token = QString::fromStdString(accessToken);
    PageTrail trail;
    for (QUrl url = first; !url.isEmpty();) {
        CloudCalendarService* alive = service.data();
        if (!alive)
            co_return;
        const nlohmann::json page = co_await alive->getJSON(url, token);
        const std::optional<std::string> continuation = read(page);
        // The provider's object goes with the service.
        if (!continuation || !service)
            co_return;
        if (const auto step = trail.admit(*continuation); step != PageTrail::Step::follow)
            stopPaging(step);
        url = service->provider(kind).nextPage(first, *continuation);
    }
}

} // namespace

CloudCalendarChoice CloudCalendarService::ProviderCalendar::choice() const {
    return CloudCalendarChoice{std::string(rawValue(account.provider)) + ":" + account.subject +
                                   ":" + id,
                               name, account.id(), account.provider};
}

QCoro::Task<std::vector<CloudCalendarService::ProviderCalendar>>
CloudCalendarService::fetchCalendars(CloudCalendarAccount account, std::string accessToken) {
    const CloudProvider& cloud = provider(account.provider);
    const QUrl first = cloud.calendarListURL();
    std::vector<ProviderCalendar> calendars;
    if (first.isEmpty())
        co_return calendars;

    const PageFormat& format = cloud.pageFormat();
    PageReader read = [&](const nlohmann::json& page) {
        auto listed = calendarPage(page, format);
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
    const CloudProvider& cloud = provider(account.provider);
    const QUrl first = cloud.eventsURL(calendar.id, isoInstantText(local.startOfDay(instant)),
                                       isoInstantText(AgendaDates::endOfWeek(instant, local)));
    std::vector<CloudEvent> events;
    if (first.isEmpty())
        co_return events;

    const std::string calendarID = calendar.choice().id;
    const std::string accountID = account.id();
    const PageFormat& format = cloud.pageFormat();
    PageReader read = [&](const nlohmann::json& page) {
        auto listed = eventPage(page, format, local);
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
