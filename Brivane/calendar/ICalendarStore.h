#pragma once

// The calendar store on iCalendar files: vdir collections (a folder per calendar, one .ics per
// item, optional displayname file — what vdirsyncer, khal and todoman keep) and single .ics
// files such as Evolution's local calendar and task list. The user's consent and the sources
// the user added live in one JSON file of the store's own.
//
// One worker thread lists, reads and parses the sources and expands recurrences, so a slow or
// hung mount never stalls the caller; the main thread only posts requests and takes results.

#include "Brivane/calendar/CalendarStore.h"
#include "Brivane/calendar/WorkerThread.h"

#include <QFuture>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace brivane {

class ICalendarStore final : public CalendarStore {
    Q_OBJECT
public:
    struct Options {
        std::string configFile;             // the store's JSON: consent and added sources
        std::vector<std::string> vdirRoots; // folders holding collections
        std::vector<std::string> evolution; // Evolution's local calendar and task list
        std::chrono::milliseconds debounce{300};
        // What the parsed files of all sources may hold in memory together. Files past it, in
        // the order the sources are read, are named and left out: a folder of hostile or huge
        // files must not take the desktop's memory.
        std::size_t memoryBudget = 64 * 1024 * 1024;

        // $XDG_DATA_HOME/calendars, ~/.calendars and Evolution's local files;
        // the JSON is "calendar-sources.json" in the data directory.
        static Options defaults(const std::string& dataDirectory);
    };

    explicit ICalendarStore(Options options, QObject* parent = nullptr);
    ~ICalendarStore() override;

    AuthorizationStatus authorizationStatus(CalendarEntity entity) const override;
    std::optional<std::string> accessProblem(CalendarEntity entity) const override;
    QCoro::Task<AccessAnswer> requestFullAccess(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreCalendar>> calendars(CalendarEntity entity) override;
    QCoro::Task<std::vector<StoreEvent>> events(Date start, Date end,
                                                std::vector<std::string> calendarIDs) override;
    FetchToken fetchIncompleteReminders(ReminderCompletion completion) override;
    void cancelFetch(FetchToken token) override;
    void reset() override;

    // Evolution's local calendar and task list are read directly only while Evolution Data
    // Server is not running; when it runs, it serves them itself.
    void setEvolutionFilesRead(bool read);

    // Folders or .ics files the user added; kept in the store's JSON.
    std::vector<std::string> addedSources() const;
    // Both give a description for the user when the change could not be saved.
    QCoro::Task<std::optional<std::string>> addSource(std::string path);
    QCoro::Task<std::optional<std::string>> removeSource(std::string path);

    // Everything the store sees, for `pellora --sources`.
    struct CollectionReport {
        StoreCalendar calendar;
        std::string path;
        bool eventCalendar = false;
        bool taskList = false;
        std::size_t events = 0;    // items (a recurring series counts once)
        std::size_t openTasks = 0; // incomplete tasks
    };
    struct FileProblem {
        std::string path;
        std::string reason;
    };
    struct Report {
        std::vector<std::string> sources; // the places looked at that exist
        std::vector<std::string> missing; // default places that do not exist
        std::vector<CollectionReport> collections;
        std::vector<FileProblem> problems; // files and folders skipped, and why
        // Why changes are not noticed as they happen (inotify's limits), when that is so.
        std::optional<std::string> watchProblem;
    };
    // Looks at every source afresh. Waits for the worker: for the command line only.
    Report report();

    // The desktop's default task and calendar applications; false when there is none.
    QCoro::Task<LaunchProblem> openApp() override;
    QCoro::Task<LaunchProblem> openCalendar() override;
    // Shows where the sources live: the first existing source folder, else the folder of the
    // store's JSON, in the file manager.
    bool openPrivacy() override;

    // The identifier of the calendar kept at `path` (a collection folder or an .ics file).
    static std::string calendarID(const std::string& path);

    struct Shared;

private:
    void onWatcherEvent();
    // Runs job(Shared&) on the worker thread; the future holds its result.
    template <typename T, typename Job>
    QFuture<T> onWorker(Job job);

    std::shared_ptr<Shared> shared_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* debounce_;
    WorkQueue queue_;
};

} // namespace brivane
