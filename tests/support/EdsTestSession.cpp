#include "EdsTestSession.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>
#include <map>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace brivane::testing {

namespace {

namespace fs = std::filesystem;

std::string rootDir;
// The bus in one process group, EDS with the backends it starts in another.
pid_t busGroup = 0;
pid_t edsGroup = 0;
pid_t factoryGroup = 0;
ESourceRegistry* sharedRegistry = nullptr;
std::map<std::string, ECalClient*> clients;
std::atomic<int> counter{0};

void check(GError* error, const char* what) {
    if (error != nullptr) {
        const std::string message = error->message;
        g_error_free(error);
        FAIL() << what << ": " << message;
    }
}

// Starts a program in the given process group (a new one when 0); it dies with this process.
pid_t spawn(const std::vector<std::string>& argv, pid_t& group) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, group);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, group == 0 ? pid : group);
        if (group == 0) {
            group = pid;
        }
    }
    return pid;
}

bool waitFor(const std::function<bool()>& done, int milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void stopGroup(pid_t& group) {
    if (group == 0) {
        return;
    }
    kill(-group, SIGTERM);
    // Orphaned backends end as zombies of whoever reaps them; do not wait for those forever.
    const auto start = std::chrono::steady_clock::now();
    while (kill(-group, 0) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(4)) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(3)) {
            kill(-group, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    group = 0;
}

ESource* sourceFor(const std::string& uid) {
    return e_source_registry_ref_source(EdsTestSession::registry(), uid.c_str());
}

std::string newUid() {
    return "pellora-test-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

std::string createSource(const std::string& name, const char* extension, const char* backend,
                         const char* parent) {
    const std::string uid = newUid();
    GError* error = nullptr;
    ESource* source = e_source_new_with_uid(uid.c_str(), nullptr, &error);
    check(error, "new source");
    e_source_set_display_name(source, name.c_str());
    e_source_set_parent(source, parent);
    e_source_backend_set_backend_name(E_SOURCE_BACKEND(e_source_get_extension(source, extension)),
                                      backend);
    GList list{source, nullptr, nullptr};
    e_source_registry_create_sources_sync(EdsTestSession::registry(), &list, nullptr, &error);
    g_object_unref(source);
    check(error, "create source");
    EXPECT_TRUE(waitFor(
        [&] {
            ESource* made = sourceFor(uid);
            if (made != nullptr) {
                g_object_unref(made);
            }
            return made != nullptr;
        },
        5000));
    return uid;
}

ICalComponent* component(const std::string& text) {
    ICalComponent* parsed = i_cal_component_new_from_string(text.c_str());
    EXPECT_NE(parsed, nullptr) << text;
    return parsed;
}

} // namespace

void EdsTestSession::prepare() {
    char pattern[] = "/tmp/pellora-eds.XXXXXX";
    rootDir = mkdtemp(pattern);
    for (const char* folder : {"home", "config", "data", "cache", "runtime"}) {
        fs::create_directories(rootDir + "/" + folder);
    }
    chmod((rootDir + "/runtime").c_str(), 0700);
    setenv("HOME", (rootDir + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (rootDir + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (rootDir + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (rootDir + "/cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (rootDir + "/runtime").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    const std::string socket = rootDir + "/runtime/bus";
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    // A bus that starts nothing by itself: what runs is what the tests started, so a stopped
    // service stays stopped.
    const std::string config = rootDir + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\" "
                             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><keep_umask/><listen>unix:path="
                          << socket
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                             "</busconfig>\n";
    spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"}, busGroup);
    for (int i = 0; i < 500 && !fs::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool EdsTestSession::startEds() {
    if (edsRunning()) {
        return true;
    }
    const std::string registryBinary = "/usr/libexec/evolution-source-registry";
    const std::string factoryBinary = "/usr/libexec/evolution-calendar-factory";
    if (access(registryBinary.c_str(), X_OK) != 0 || access(factoryBinary.c_str(), X_OK) != 0) {
        return false;
    }
    // The factory asks for the registry at once; it must find this one, not start another.
    spawn({registryBinary}, edsGroup);
    if (!waitFor(
            [] { return EdsTestSession::nameHasOwner("org.gnome.evolution.dataserver.Sources5"); },
            20000)) {
        return false;
    }
    return startFactory();
}

void EdsTestSession::stopEds() {
    for (auto& [key, client] : clients) {
        g_object_unref(client);
    }
    clients.clear();
    g_clear_object(&sharedRegistry);
    // The registry, the factory and the backends the factory started.
    stopGroup(factoryGroup);
    stopGroup(edsGroup);
    waitFor([] { return !edsRunning(); }, 5000);
}

void EdsTestSession::finish() {
    stopEds();
    // GLib ends a process whose bus connection closes (SIGTERM from its worker thread): the
    // private bus goes first here.
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        g_object_unref(bus);
    }
    stopGroup(busGroup);
    std::error_code ignored;
    fs::remove_all(rootDir, ignored);
}

bool EdsTestSession::startFactory() {
    spawn({"/usr/libexec/evolution-calendar-factory"}, factoryGroup);
    return waitFor(
        [] { return EdsTestSession::nameHasOwner("org.gnome.evolution.dataserver.Calendar8"); },
        20000);
}

void EdsTestSession::stopFactory() {
    for (auto& [key, client] : clients) {
        g_object_unref(client);
    }
    clients.clear();
    stopGroup(factoryGroup);
}

bool EdsTestSession::nameHasOwner(const char* name) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) {
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        2000, nullptr, nullptr);
    g_object_unref(bus);
    if (reply == nullptr) {
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned != FALSE;
}

bool EdsTestSession::edsRunning() {
    return EdsTestSession::nameHasOwner("org.gnome.evolution.dataserver.Sources5");
}

const std::string& EdsTestSession::root() {
    return rootDir;
}

ESourceRegistry* EdsTestSession::registry() {
    if (sharedRegistry == nullptr) {
        GError* error = nullptr;
        sharedRegistry = e_source_registry_new_sync(nullptr, &error);
        check(error, "registry");
    }
    return sharedRegistry;
}

std::string EdsTestSession::createLocalSource(const std::string& name, bool tasks) {
    return createSource(name, tasks ? E_SOURCE_EXTENSION_TASK_LIST : E_SOURCE_EXTENSION_CALENDAR,
                        "local", "local-stub");
}

std::string EdsTestSession::createBrokenSource(const std::string& name) {
    return createSource(name, E_SOURCE_EXTENSION_CALENDAR, "no-such-backend", "local-stub");
}

void EdsTestSession::setEnabled(const std::string& uid, bool enabled) {
    ESource* source = sourceFor(uid);
    ASSERT_NE(source, nullptr);
    e_source_set_enabled(source, enabled ? TRUE : FALSE);
    GError* error = nullptr;
    e_source_write_sync(source, nullptr, &error);
    g_object_unref(source);
    check(error, "write source");
}

void EdsTestSession::removeSource(const std::string& uid) {
    ESource* source = sourceFor(uid);
    ASSERT_NE(source, nullptr);
    GError* error = nullptr;
    e_source_remove_sync(source, nullptr, &error);
    g_object_unref(source);
    check(error, "remove source");
}

ECalClient* EdsTestSession::client(const std::string& uid, bool tasks) {
    const std::string key = uid + (tasks ? "/tasks" : "/events");
    if (auto found = clients.find(key); found != clients.end()) {
        return found->second;
    }
    ESource* source = sourceFor(uid);
    EXPECT_NE(source, nullptr);
    if (source == nullptr) {
        return nullptr;
    }
    GError* error = nullptr;
    EClient* made = nullptr;
    // The calendar factory learns of a new source from its own registry, a moment after ours:
    // until then it answers that there is no such source.
    waitFor(
        [&] {
            if (error != nullptr) {
                g_clear_error(&error);
            }
            made = e_cal_client_connect_sync(
                source, tasks ? E_CAL_CLIENT_SOURCE_TYPE_TASKS : E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                static_cast<guint32>(-1), nullptr, &error);
            return made != nullptr || std::string_view(error->message).find("No such source") ==
                                          std::string_view::npos;
        },
        5000);
    g_object_unref(source);
    if (error != nullptr) {
        ADD_FAILURE() << "connect: " << error->message;
        g_error_free(error);
        return nullptr;
    }
    clients[key] = E_CAL_CLIENT(made);
    return E_CAL_CLIENT(made);
}

std::string EdsTestSession::add(const std::string& uid, bool tasks, const std::string& text) {
    ICalComponent* item = component(text);
    gchar* made = nullptr;
    GError* error = nullptr;
    e_cal_client_create_object_sync(client(uid, tasks), item, E_CAL_OPERATION_FLAG_NONE, &made,
                                    nullptr, &error);
    g_object_unref(item);
    if (error != nullptr) {
        ADD_FAILURE() << "create: " << error->message;
        g_error_free(error);
        return {};
    }
    std::string result = made != nullptr ? made : "";
    g_free(made);
    return result;
}

void EdsTestSession::addAll(const std::string& uid, bool tasks,
                            const std::vector<std::string>& items) {
    GSList* list = nullptr;
    for (const auto& text : items) {
        list = g_slist_prepend(list, component(text));
    }
    list = g_slist_reverse(list);
    GSList* made = nullptr;
    GError* error = nullptr;
    e_cal_client_create_objects_sync(client(uid, tasks), list, E_CAL_OPERATION_FLAG_NONE, &made,
                                     nullptr, &error);
    g_slist_free_full(list, g_object_unref);
    g_slist_free_full(made, g_free);
    check(error, "create objects");
}

void EdsTestSession::modifyOccurrence(const std::string& uid, const std::string& text) {
    // Received as an update to the series, the way an invitation's change arrives.
    ICalComponent* item = component("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                                    "METHOD:PUBLISH\r\n" +
                                    text + "END:VCALENDAR\r\n");
    GError* error = nullptr;
    e_cal_client_receive_objects_sync(client(uid, false), item, E_CAL_OPERATION_FLAG_NONE, nullptr,
                                      &error);
    g_object_unref(item);
    check(error, "modify occurrence");
}

void EdsTestSession::modify(const std::string& uid, bool tasks, const std::string& text) {
    ICalComponent* item = component(text);
    GError* error = nullptr;
    e_cal_client_modify_object_sync(client(uid, tasks), item, E_CAL_OBJ_MOD_ALL,
                                    E_CAL_OPERATION_FLAG_NONE, nullptr, &error);
    g_object_unref(item);
    check(error, "modify");
}

void EdsTestSession::remove(const std::string& uid, bool tasks, const std::string& itemUid) {
    GError* error = nullptr;
    e_cal_client_remove_object_sync(client(uid, tasks), itemUid.c_str(), nullptr, E_CAL_OBJ_MOD_ALL,
                                    E_CAL_OPERATION_FLAG_NONE, nullptr, &error);
    check(error, "remove");
}

} // namespace brivane::testing
