#include "Brivane/calendar/DirectoryWatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace brivane {

namespace {

constexpr std::uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

// Hidden names are editors' and vdir tools' temporaries: they count once renamed into place.
bool relevant(const inotify_event& event) {
    if (event.len == 0 || (event.mask & IN_ISDIR) != 0) {
        return event.len == 0 || event.name[0] != '.';
    }
    const char* name = event.name;
    if (name[0] == '.') {
        return false;
    }
    const std::size_t n = std::strlen(name);
    return std::strcmp(name, "displayname") == 0 ||
           (n > 4 && strcasecmp(name + n - 4, ".ics") == 0);
}

} // namespace

DirectoryWatcher::DirectoryWatcher(QObject* parent)
    : QObject(parent), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &DirectoryWatcher::readEvents);
    }
}

DirectoryWatcher::~DirectoryWatcher() {
    if (fd_ >= 0) {
        delete notifier_;
        close(fd_);
    }
}

bool DirectoryWatcher::setDirectories(const std::set<std::string>& directories) {
    if (fd_ < 0) {
        return false;
    }
    for (auto it = byPath_.begin(); it != byPath_.end();) {
        if (directories.count(it->first) == 0) {
            inotify_rm_watch(fd_, it->second);
            byDescriptor_.erase(it->second);
            watched_.erase(it->first);
            it = byPath_.erase(it);
        } else {
            ++it;
        }
    }
    bool complete = true;
    for (const auto& path : directories) {
        if (byPath_.count(path) != 0) {
            continue;
        }
        const int wd = inotify_add_watch(fd_, path.c_str(), watchMask);
        if (wd < 0) {
            complete = false;
            continue;
        }
        // Two paths can name one folder (a link): the descriptor is shared.
        if (auto old = byDescriptor_.find(wd); old != byDescriptor_.end()) {
            byPath_.erase(old->second);
            watched_.erase(old->second);
        }
        byDescriptor_[wd] = path;
        byPath_[path] = wd;
        watched_.insert(path);
    }
    return complete;
}

void DirectoryWatcher::readEvents() {
    alignas(inotify_event) char buffer[16384];
    std::set<std::string> changedDirectories;
    while (true) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost: count every folder as changed.
                changedDirectories.insert(watched_.begin(), watched_.end());
                continue;
            }
            const auto found = byDescriptor_.find(event->wd);
            if (found == byDescriptor_.end()) {
                continue;
            }
            const std::string path = found->second;
            if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                // The folder went away (or moved): its watch is gone.
                if ((event->mask & IN_IGNORED) == 0) {
                    inotify_rm_watch(fd_, event->wd);
                }
                byDescriptor_.erase(found);
                byPath_.erase(path);
                watched_.erase(path);
                changedDirectories.insert(path);
                continue;
            }
            if (relevant(*event)) {
                changedDirectories.insert(path);
            }
        }
    }
    for (const auto& path : changedDirectories) {
        Q_EMIT changed(QString::fromStdString(path));
    }
}

} // namespace brivane
