#include "Brivane/controller/CalendarAccess.h"

#include "Brivane/cloud/CloudCalendarService.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QPointer>
#include <algorithm>

namespace brivane {

namespace {

std::string deniedText() {
    return AgendaLanguage::text(
        "Accesso non consentito. Consenti la lettura nelle impostazioni di Pellora → Calendari.",
        "Access denied. Allow reading in Pellora's settings → Calendars.");
}

} // namespace

CalendarAccess::CalendarAccess(CalendarStore& store, const CloudCalendarService& cloud,
                               QObject* parent)
    : QObject(parent), store_(store), cloud_(cloud),
      status_(store.authorizationStatus(CalendarEntity::event)),
      authorized_(status_ == AuthorizationStatus::fullAccess) {}

#define PELLORA_SETTER(Name, field, Type, signal)                                                  \
    void CalendarAccess::Name(Type value) {                                                        \
        if (field == value)                                                                        \
            return;                                                                                \
        field = std::move(value);                                                                  \
        Q_EMIT signal();                                                                           \
    }

PELLORA_SETTER(setStatus, status_, AuthorizationStatus, statusChanged)
PELLORA_SETTER(setAuthorized, authorized_, bool, authorizedChanged)
PELLORA_SETTER(setRequesting, requesting_, bool, requestingChanged)
PELLORA_SETTER(setError, error_, std::optional<std::string>, errorChanged)

#undef PELLORA_SETTER

void CalendarAccess::readStatus() {
    const bool wasAuthorized = authorized_;
    const bool wasAwaiting = grantAwaitingStatus_;
    const AuthorizationStatus status = store_.authorizationStatus(CalendarEntity::event);
    setStatus(status);
    if (status != AuthorizationStatus::notDetermined)
        grantAwaitingStatus_ = false;
    setAuthorized(status == AuthorizationStatus::fullAccess ||
                  (status == AuthorizationStatus::notDetermined && grantAwaitingStatus_));
    if (authorized_) {
        if (!wasAuthorized && !wasAwaiting)
            store_.reset();
        setError(std::nullopt);
    } else if (status == AuthorizationStatus::denied || status == AuthorizationStatus::restricted) {
        setError(store_.accessProblem(CalendarEntity::event).value_or(deniedText()));
    }
}

QCoro::Task<> CalendarAccess::request() {
    QPointer<CalendarAccess> guard(this);
    setRequesting(true);
    setError(std::nullopt);
    const AccessAnswer answer = co_await store_.requestFullAccess(CalendarEntity::event);
    if (!guard)
        co_return;
    if (answer.granted) {
        store_.reset();
        grantAwaitingStatus_ = true;
    } else {
        setError(answer.error ? *answer.error : deniedText());
    }
}

void CalendarAccess::finishRequest() {
    setRequesting(false);
}

void CalendarAccess::setCalendars(std::vector<StoreCalendar> local) {
    std::vector<CalendarChoice> choices;
    for (auto& calendar : local)
        choices.push_back(
            {std::move(calendar.id), std::move(calendar.title), std::move(calendar.source)});
    for (const auto& choice : cloud_.calendars()) {
        std::string email;
        for (const auto& account : cloud_.accounts())
            if (account.id() == choice.account)
                email = account.email;
        choices.push_back({choice.id, choice.name, title(choice.provider) + " · " + email});
    }
    std::stable_sort(choices.begin(), choices.end(), [](const auto& a, const auto& b) {
        return std::tie(a.source, a.name) < std::tie(b.source, b.name);
    });
    if (calendars_ == choices)
        return;
    calendars_ = std::move(choices);
    Q_EMIT calendarsChanged();
}

} // namespace brivane
