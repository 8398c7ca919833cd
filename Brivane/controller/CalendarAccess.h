#pragma once

// The permission to read the local calendars and the list of calendars to choose from, local and
// cloud. A grant is believed before the store reports it: the status may stay "not determined"
// for a while after the user said yes. Main thread only.

#include "Brivane/calendar/CalendarStore.h"

#include <QObject>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace brivane {

class CloudCalendarService;

// A selectable calendar, local or cloud.
struct CalendarChoice {
    std::string id;     // the store's calendar identifier, or the cloud choice's id
    std::string name;   // the calendar's title
    std::string source; // the account or place it belongs to
    bool operator==(const CalendarChoice&) const = default;
};

class CalendarAccess : public QObject {
    Q_OBJECT
public:
    CalendarAccess(CalendarStore& store, const CloudCalendarService& cloud,
                   QObject* parent = nullptr);

    AuthorizationStatus status() const { return status_; }
    bool authorized() const { return authorized_; }
    bool requesting() const { return requesting_; }
    const std::optional<std::string>& error() const { return error_; }
    const std::vector<CalendarChoice>& calendars() const { return calendars_; }

    // Reads the store's status; a store newly readable starts afresh.
    void readStatus();
    // Asks the user for access; a refusal becomes `error()`. `requesting()` holds from the call
    // until `finishRequest()`.
    QCoro::Task<> request();
    void finishRequest();
    // The choices: these local calendars and the cloud service's, by place, then name.
    void setCalendars(std::vector<StoreCalendar> local);

Q_SIGNALS:
    void statusChanged();
    void authorizedChanged();
    void requestingChanged();
    void errorChanged();
    void calendarsChanged();

private:
    void setStatus(AuthorizationStatus value);
    void setAuthorized(bool value);
    void setRequesting(bool value);
    void setError(std::optional<std::string> value);

    CalendarStore& store_;
    const CloudCalendarService& cloud_;
    AuthorizationStatus status_ = AuthorizationStatus::notDetermined;
    bool authorized_ = false;
    bool requesting_ = false;
    // Granted, and the store has not said so yet.
    bool grantAwaitingStatus_ = false;
    std::optional<std::string> error_;
    std::vector<CalendarChoice> calendars_;
};

} // namespace brivane
