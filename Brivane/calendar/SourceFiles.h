#pragma once

// Paths and file reads of the file store: how a place is named, compared and shown, and how a
// file is read without ever waiting on it (a FIFO or device in a source's place is never read).

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace brivane::icsstore {

std::string envOr(const char* name, const std::string& fallback);
std::string homeDirectory();
std::string joinPath(const std::string& a, const std::string& b);
std::string baseName(const std::string& path);
std::string parentPath(const std::string& path);
// "/home/ada/.calendars" → "~/.calendars".
std::string displayPath(const std::string& path);
// Absolute, without a trailing slash and without "." or ".." parts; symbolic links are kept so
// that an identifier follows the path the user sees.
std::string normalisedPath(const std::string& path);
bool endsWithIcs(const char* name);
// An errno as the user reads it.
std::string errnoText(int error);

// What tells one version of a file from another.
struct Stamp {
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    std::uint64_t inode = 0;
    bool operator==(const Stamp&) const = default;
};
Stamp stampOf(const struct stat& st);

// Reads everything from an open descriptor and closes it; false with errno set on failure.
bool readAndClose(int fd, std::size_t expected, std::string& out);
bool readWhole(int dirFd, const char* name, std::size_t expected, std::string& out);

} // namespace brivane::icsstore
