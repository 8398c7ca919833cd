#pragma once

// A private Evolution Data Server for the tests of this folder: its own HOME and XDG folders, its
// own session bus, the source registry and the calendar factory started on it, and everything
// stopped at the end. Sources are made through the registry and items written through
// ECalClient, as Evolution or GNOME Calendar would.

#include <string>
#include <vector>

typedef struct _ESource ESource;
typedef struct _ESourceRegistry ESourceRegistry;
typedef struct _ECalClient ECalClient;

namespace brivane::testing {

class EdsTestSession {
public:
    // Prepares the folders and the bus and points this process at them; call before anything
    // touches D-Bus.
    static void prepare();
    // Starts the registry and the factory and waits for the registry's name; false when EDS is
    // not installed.
    static bool startEds();
    static void stopEds();
    // Stops the calendar factory and its backends, as a crash would.
    static void stopFactory();
    static bool startFactory();
    // Stops everything and removes the folders.
    static void finish();
    static bool edsRunning();
    // Asked of the bus itself, which never starts a service to answer.
    static bool nameHasOwner(const char* name);
    static const std::string& root();

    static ESourceRegistry* registry();
    // A new local calendar (events) or task list; returns the source's UID.
    static std::string createLocalSource(const std::string& name, bool tasks);
    // A source whose backend does not exist, so every open fails.
    static std::string createBrokenSource(const std::string& name);
    static void setEnabled(const std::string& uid, bool enabled);
    static void removeSource(const std::string& uid);

    // A connected client for the source; owned by the session.
    static ECalClient* client(const std::string& uid, bool tasks);
    // Adds one component (VEVENT or VTODO text); returns its UID.
    static std::string add(const std::string& uid, bool tasks, const std::string& component);
    // Adds many components in one request.
    static void addAll(const std::string& uid, bool tasks, const std::vector<std::string>& items);
    // Replaces one occurrence of a series with the given VEVENT (which has a RECURRENCE-ID).
    static void modifyOccurrence(const std::string& uid, const std::string& component);
    static void modify(const std::string& uid, bool tasks, const std::string& component);
    static void remove(const std::string& uid, bool tasks, const std::string& itemUid);
};

} // namespace brivane::testing
