#include "Brivane/calendar/DirectoryWatcher.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <strings.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

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

bool isLimit(int error) {
    return error == EMFILE || error == ENFILE || error == ENOSPC;
}

} // namespace

DirectoryWatcher::DirectoryWatcher()
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), initError_(fd_ < 0 ? errno : 0) {}

DirectoryWatcher::~DirectoryWatcher() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool DirectoryWatcher::setDirectories(const std::set<std::string>& directories) {
    if (fd_ < 0) {
        return false;
    }
    std::vector<std::string> toAdd;
    {
        std::lock_guard lock(mutex_);
        for (auto it = byPath_.begin(); it != byPath_.end();) {
            if (directories.count(it->first) == 0) {
                inotify_rm_watch(fd_, it->second);
                byDescriptor_.erase(it->second);
                it = byPath_.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& path : directories) {
            if (byPath_.count(path) == 0) {
                toAdd.push_back(path);
            }
        }
    }
    bool complete = true;
    int limit = 0;
    for (const auto& path : toAdd) {
        const int wd = inotify_add_watch(fd_, path.c_str(), watchMask);
        if (wd < 0) {
            complete = false;
            if (isLimit(errno)) {
                limit = errno;
            }
            continue;
        }
        std::lock_guard lock(mutex_);
        // Two paths can name one folder (a link): the descriptor is shared.
        if (auto old = byDescriptor_.find(wd); old != byDescriptor_.end()) {
            byPath_.erase(old->second);
        }
        byDescriptor_[wd] = path;
        byPath_[path] = wd;
    }
    std::lock_guard lock(mutex_);
    if (limit != 0 || complete) {
        exhaustion_ = limit; // a full set of watches clears an earlier shortage
    }
    return complete;
}

std::set<std::string> DirectoryWatcher::directories() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> result;
    for (const auto& [path, wd] : byPath_) {
        result.insert(path);
    }
    return result;
}

std::set<std::string> DirectoryWatcher::readChanges() {
    std::set<std::string> changed;
    if (fd_ < 0) {
        return changed;
    }
    alignas(inotify_event) char buffer[16384];
    std::lock_guard lock(mutex_);
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
                for (const auto& [path, wd] : byPath_) {
                    changed.insert(path);
                }
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
                changed.insert(path);
                continue;
            }
            if (relevant(*event)) {
                changed.insert(path);
            }
        }
    }
    return changed;
}

int DirectoryWatcher::exhaustion() const {
    if (isLimit(initError_)) {
        return initError_;
    }
    std::lock_guard lock(mutex_);
    return exhaustion_;
}

const char* DirectoryWatcher::limitSetting(int exhaustion) {
    return exhaustion == ENOSPC ? "fs.inotify.max_user_watches" : "fs.inotify.max_user_instances";
}

} // namespace brivane
