#pragma once

// What the Evolution Data Server module offers the program. The module (pellora-eds.so, built
// from eds/, entry point eds/EdsCalendarModule.cpp) holds every call into libecal and
// libedataserver, so their client stack (libcamel, libsoup, libxml2, NSS, krb5, sqlite…) is loaded
// only once EDS is on the session bus; EdsCalendarStore loads it then.

#include "Brivane/calendar/CalendarStore.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace brivane {

struct EdsOptions {
    // How long construction waits to learn whether EDS is on the session bus (0: not at all). A
    // later answer still arrives, through runningChanged().
    std::chrono::milliseconds presenceWait{5};
    // Whether events and tasks may be read from the start; see setReadingAllowed().
    bool readingAllowed = true;
    // How long events() and calendars() wait for EDS before answering with what they have.
    std::chrono::milliseconds answerLimit{8000};

    // For a terminal command: it may wait for a busy bus, and prints what it learned at once.
    static EdsOptions patient() {
        EdsOptions options;
        options.presenceWait = std::chrono::seconds(2);
        return options;
    }
};

struct EdsSourceReport {
    StoreCalendar calendar;
    bool eventCalendar = false;
    bool taskList = false;
    std::size_t events = 0;             // occurrences in the window last read
    std::size_t openTasks = 0;          // incomplete tasks
    std::optional<std::string> problem; // why the source cannot be read now
};

struct EdsReport {
    bool running = false;
    bool complete = false; // every source answered within the wait
    std::vector<EdsSourceReport> sources;
};

// The store's operations as EdsCalendarStore documents them.
class EdsBackend {
public:
    virtual ~EdsBackend() = default;
    virtual bool running() const = 0;
    virtual QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) = 0;
    virtual std::vector<StoreCalendar> listed(CalendarEntity entity) const = 0;
    virtual bool holds(const std::string& calendarID) const = 0;
    virtual QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                        std::vector<std::string> calendarIDs) = 0;
    virtual CalendarStore::FetchToken
    fetchIncompleteReminders(CalendarStore::ReminderCompletion completion) = 0;
    virtual void cancelFetch(CalendarStore::FetchToken token) = 0;
    virtual void reset() = 0;
    virtual void setReadingAllowed(bool allowed) = 0;
    virtual EdsReport report(std::chrono::milliseconds wait) = 0;
};

// Called from the backend's own thread when something EDS holds changed and has been read,
// and, with `runningChanged`, when EDS came or went.
using EdsNotify = std::function<void(bool runningChanged, bool running)>;

// The source registry's well-known name; EDS is running when it has an owner.
inline constexpr const char* edsRegistryBusName = "org.gnome.evolution.dataserver.Sources5";

// Whether a session bus can be reached without starting one: GIO would otherwise launch a bus
// for an X display that has none.
inline bool edsSessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
        return false;
    struct stat st {};
    return stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The module's one exported function.
using EdsBackendFactory = EdsBackend* (*)(const EdsOptions& options, EdsNotify notify);
inline constexpr const char* edsBackendFactoryName = "pellora_eds_backend";
inline constexpr const char* edsModuleFileName = "pellora-eds.so";

} // namespace brivane
