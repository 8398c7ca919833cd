#pragma once

// Watches a set of folders with inotify and reports changes to the calendar items inside them:
// .ics files and displayname files created, written, renamed or deleted, and folders added or
// removed. One watch per folder catches edits in place too, which QFileSystemWatcher only sees
// with one watch per file (thousands in a large store, each added in linear time).

#include <QObject>
#include <map>
#include <set>
#include <string>

class QSocketNotifier;

namespace brivane {

class DirectoryWatcher : public QObject {
    Q_OBJECT
public:
    explicit DirectoryWatcher(QObject* parent = nullptr);
    ~DirectoryWatcher() override;

    bool available() const { return fd_ >= 0; }
    // Watches exactly these folders; returns false when some could not be watched.
    bool setDirectories(const std::set<std::string>& directories);
    // The folders watched right now (a deleted folder leaves the set).
    const std::set<std::string>& directories() const { return watched_; }

Q_SIGNALS:
    void changed(const QString& directory);

private:
    void readEvents();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::map<int, std::string> byDescriptor_;
    std::map<std::string, int> byPath_;
    std::set<std::string> watched_;
};

} // namespace brivane
