#pragma once

// The file store's own small JSON file in the data directory: the user's consent to read events
// and tasks, and the sources the user added.

#include <optional>
#include <string>
#include <vector>

namespace brivane::icsstore {

struct Consent {
    bool events = false;
    bool reminders = false;
    std::vector<std::string> sources; // normalised paths
};

struct ConsentRead {
    Consent consent;
    std::optional<std::string> problem; // why the file cannot be read, for the user
};

// Read without blocking: a FIFO or device in its place is refused, never waited on. A missing
// file is no consent and no problem; a damaged one is no consent, named as a problem.
ConsentRead readConsent(const std::string& path);

// Writes the whole document atomically, private to the user, creating the data folder and its
// parents (a fresh account has no ~/.local/share); the reason for the user on failure.
std::optional<std::string> writeConsent(const std::string& path, const Consent& consent);

} // namespace brivane::icsstore
