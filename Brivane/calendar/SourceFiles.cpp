#include "Brivane/calendar/SourceFiles.h"

#include "Brivane/calendar/ICalendarReader.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace brivane::icsstore {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string homeDirectory() {
    return envOr("HOME", "/");
}

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty() || a.back() == '/') {
        return a + b;
    }
    return a + "/" + b;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string displayPath(const std::string& path) {
    const std::string home = homeDirectory();
    if (home.size() > 1 && path.rfind(home + "/", 0) == 0) {
        return "~" + path.substr(home.size());
    }
    return path;
}

std::string normalisedPath(const std::string& path) {
    std::string absolute = path;
    if (absolute.rfind("~/", 0) == 0) {
        absolute = joinPath(homeDirectory(), absolute.substr(2));
    } else if (absolute.empty() || absolute.front() != '/') {
        char buffer[4096];
        absolute = joinPath(getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/", absolute);
    }
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= absolute.size()) {
        const auto next = absolute.find('/', at);
        const std::string part =
            absolute.substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (next == std::string::npos) {
            break;
        }
        at = next + 1;
    }
    std::string result;
    for (const auto& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

bool endsWithIcs(const char* name) {
    const std::size_t n = std::strlen(name);
    return n > 4 && strcasecmp(name + n - 4, ".ics") == 0;
}

std::string errnoText(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return AgendaLanguage::text("permesso negato", "permission denied");
    case ENOENT:
        return AgendaLanguage::text("non esiste", "does not exist");
    case EISDIR:
        return AgendaLanguage::text("è una cartella", "is a folder");
    default:
        return std::strerror(error);
    }
}

Stamp stampOf(const struct stat& st) {
    return Stamp{static_cast<std::int64_t>(st.st_size),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                 static_cast<std::uint64_t>(st.st_ino)};
}

bool readAndClose(int fd, std::size_t expected, std::string& out) {
    out.clear();
    out.reserve(std::min(expected, ical::maxFileBytes) + 1);
    char buffer[65536];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > ical::maxFileBytes) {
            break; // grew while being read; the reader rejects it
        }
    }
    close(fd);
    return true;
}

bool readWhole(int dirFd, const char* name, std::size_t expected, std::string& out) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    return fd >= 0 && readAndClose(fd, expected, out);
}

} // namespace brivane::icsstore
