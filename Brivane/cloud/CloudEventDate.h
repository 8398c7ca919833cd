#pragma once

#include "BrivaneCore/AgendaDates.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace brivane {

// The text under `key` of a JSON object; null when missing or not a text.
const std::string* textMember(const nlohmann::json& object, const char* key);

// The instant of a provider's start or end object: {"dateTime", "timeZone"} or {"date"}.
// `local` supplies the current time zone for wall times without a zone and for date-only
// values (local midnight).
std::optional<Date> eventDate(const nlohmann::json& object, const Calendar& local);

// The day of an all-day event's start or end, at local midnight: the "date", or the date part of
// the "dateTime" (Graph writes all-day events as midnight to midnight in whatever zone it names,
// and they are meant as those dates wherever the user is).
std::optional<Date> eventDay(const nlohmann::json& object, const Calendar& local);

// "2026-12-07T23:00:00Z": UTC, whole seconds (a fraction is dropped).
std::string isoInstantText(Date date);

} // namespace brivane
