#pragma once

#include "BrivaneCore/AgendaDates.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace brivane::testing {

// Sets environment variables for one scope and puts the old values back.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    ScopedEnvironment& set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
        return *this;
    }
    // A language and zone for the scope, with the other language variables cleared.
    ScopedEnvironment& locale(const std::string& language, const std::string& zone) {
        set("LANGUAGE", language).set("LC_ALL", std::nullopt).set("LC_MESSAGES", std::nullopt);
        set("LANG", std::nullopt).set("TZ", zone);
        return *this;
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

inline Date at(const Calendar& c, int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return c.date(y, mo, d, h, mi, s).value();
}

} // namespace brivane::testing
