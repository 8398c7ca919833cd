#pragma once

// Watches a set of folders with inotify and reports changes to the calendar items inside them:
// .ics files and displayname files created, written, renamed or deleted, and folders added or
// removed. One watch per folder catches edits in place too, which QFileSystemWatcher only sees
// with one watch per file (thousands in a large store, each added in linear time).
//
// Adding a watch looks the path up, which can hang on a dead network mount, so the folders are
// set from the store's worker thread while the main thread reads the events; no lock is held
// across a path lookup.

#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

namespace brivane {

class DirectoryWatcher {
public:
    DirectoryWatcher();
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // The descriptor to wait on for events; -1 when inotify could not be set up.
    int descriptor() const { return fd_; }
    // Watches exactly these folders; returns false when some could not be watched.
    bool setDirectories(const std::set<std::string>& directories);
    // The folders watched right now (a deleted folder leaves the set).
    std::set<std::string> directories() const;
    // Drains the pending events; returns the folders whose items changed.
    std::set<std::string> readChanges();

    // Why watching failed for lack of a kernel resource: EMFILE/ENFILE (no inotify instance
    // left) or ENOSPC (no watch left); 0 when no limit was hit.
    int exhaustion() const;
    // The system setting to raise for that limit, for the user.
    static const char* limitSetting(int exhaustion);

private:
    const int fd_;
    const int initError_;
    mutable std::mutex mutex_;
    std::unordered_map<int, std::string> byDescriptor_;
    std::unordered_map<std::string, int> byPath_;
    int exhaustion_ = 0;
};

} // namespace brivane
