#include "Brivane/calendar/CombinedCalendarStore.h"

#include <QTimer>
#include <atomic>

namespace brivane {

// Collects the answers of both backends to one task fetch.
struct CombinedCalendarStore::Join {
    std::mutex mutex;
    int waiting = 2;
    std::optional<std::vector<ReminderItem>> files;
    std::optional<std::vector<ReminderItem>> eds;
    std::atomic<bool> cancelled{false};
    ReminderCompletion completion;

    void arrive(std::optional<std::vector<ReminderItem>> items, bool fromFiles) {
        std::optional<std::vector<ReminderItem>> result;
        {
            std::lock_guard lock(mutex);
            (fromFiles ? files : eds) = std::move(items);
            if (--waiting > 0) {
                return;
            }
            if (files || eds) {
                result.emplace();
                for (auto* part : {&files, &eds}) {
                    if (*part) {
                        result->insert(result->end(), std::make_move_iterator((*part)->begin()),
                                       std::make_move_iterator((*part)->end()));
                    }
                }
            }
        }
        if (!cancelled.load()) {
            completion(std::move(result));
        }
    }
};

namespace {

bool consented(const ICalendarStore& files) {
    return files.authorizationStatus(CalendarEntity::event) != AuthorizationStatus::notDetermined ||
           files.authorizationStatus(CalendarEntity::reminder) !=
               AuthorizationStatus::notDetermined;
}

EdsCalendarStore::Options withConsent(EdsCalendarStore::Options options,
                                      const ICalendarStore& files) {
    options.readingAllowed = consented(files);
    return options;
}

} // namespace

CombinedCalendarStore::CombinedCalendarStore(ICalendarStore::Options files,
                                             EdsCalendarStore::Options eds, QObject* parent)
    : ForwardingCalendarStore(parent), files_(new ICalendarStore(files, this)),
      eds_(new EdsCalendarStore(withConsent(eds, *files_), this)), debounce_(new QTimer(this)) {
    files_->setEvolutionFilesRead(!eds_->running());
    debounce_->setSingleShot(true);
    debounce_->setInterval(files.debounce);
    // The file store debounces its own changes; EDS changes go through the same interval here.
    connect(files_, &CalendarStore::changed, this, &CalendarStore::changed);
    connect(eds_, &EdsCalendarStore::changed, debounce_, qOverload<>(&QTimer::start));
    connect(debounce_, &QTimer::timeout, this, &CalendarStore::changed);
    connect(eds_, &EdsCalendarStore::runningChanged, this,
            [this](bool running) { files_->setEvolutionFilesRead(!running); });
}

CombinedCalendarStore::~CombinedCalendarStore() {
    std::lock_guard lock(mutex_);
    for (auto& [token, pending] : pending_) {
        pending.join->cancelled.store(true);
    }
}

QCoro::Task<AccessAnswer> CombinedCalendarStore::requestFullAccess(CalendarEntity entity) {
    AccessAnswer answer = co_await files_->requestFullAccess(entity);
    followConsent();
    co_return answer;
}

// Nothing is read from EDS before the user has allowed reading calendars or tasks.
void CombinedCalendarStore::followConsent() {
    eds_->setReadingAllowed(consented(*files_));
}

QCoro::Task<std::vector<StoreCalendar>> CombinedCalendarStore::calendars(CalendarEntity entity) {
    std::vector<StoreCalendar> result = co_await files_->calendars(entity);
    std::vector<StoreCalendar> fromEds = co_await eds_->calendars(entity);
    result.insert(result.end(), std::make_move_iterator(fromEds.begin()),
                  std::make_move_iterator(fromEds.end()));
    co_return result;
}

QCoro::Task<std::vector<StoreEvent>>
CombinedCalendarStore::events(Date start, Date end, std::vector<std::string> calendarIDs) {
    std::vector<std::string> inFiles;
    std::vector<std::string> inEds;
    for (const auto& id : calendarIDs) {
        if (eds_->holds(id)) {
            inEds.push_back(id);
        } else {
            inFiles.push_back(id);
        }
    }
    std::vector<StoreEvent> result;
    if (!inFiles.empty()) {
        result = co_await files_->events(start, end, std::move(inFiles));
    }
    if (!inEds.empty()) {
        std::vector<StoreEvent> fromEds = co_await eds_->events(start, end, std::move(inEds));
        result.insert(result.end(), std::make_move_iterator(fromEds.begin()),
                      std::make_move_iterator(fromEds.end()));
    }
    co_return result;
}

CalendarStore::FetchToken
CombinedCalendarStore::fetchIncompleteReminders(ReminderCompletion completion) {
    auto join = std::make_shared<Join>();
    join->completion = std::move(completion);
    FetchToken token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextToken_++;
    }
    Pending pending;
    pending.join = join;
    pending.files =
        files_->fetchIncompleteReminders([join](std::optional<std::vector<ReminderItem>> items) {
            join->arrive(std::move(items), true);
        });
    pending.eds =
        eds_->fetchIncompleteReminders([join](std::optional<std::vector<ReminderItem>> items) {
            join->arrive(std::move(items), false);
        });
    std::lock_guard lock(mutex_);
    // Finished fetches are dropped lazily: a token only matters while it can still be cancelled.
    std::erase_if(pending_, [](const auto& entry) {
        std::lock_guard joinLock(entry.second.join->mutex);
        return entry.second.join->waiting == 0;
    });
    pending_.emplace(token, std::move(pending));
    return token;
}

void CombinedCalendarStore::cancelFetch(FetchToken token) {
    Pending pending;
    {
        std::lock_guard lock(mutex_);
        const auto found = pending_.find(token);
        if (found == pending_.end()) {
            return;
        }
        pending = std::move(found->second);
        pending_.erase(found);
    }
    pending.join->cancelled.store(true);
    files_->cancelFetch(pending.files);
    eds_->cancelFetch(pending.eds);
}

void CombinedCalendarStore::reset() {
    files_->reset();
    followConsent();
    eds_->reset();
}

} // namespace brivane
