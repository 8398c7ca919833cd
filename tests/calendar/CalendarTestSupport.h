#pragma once

#include "../support/RequiredComponent.h"
#include "../support/TestHelpers.h"
#include "BrivaneCore/AgendaDates.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace brivane::testing {

// An instant given in UTC.
inline Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi}};
}

inline std::string calendarText(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + body + "END:VCALENDAR\r\n";
}

inline std::string eventText(const std::string& uid, const std::string& summary,
                             const std::string& start, const std::string& end,
                             const std::string& extra = "") {
    return calendarText("BEGIN:VEVENT\r\nUID:" + uid + "\r\nSUMMARY:" + summary + "\r\nDTSTART:" +
                        start + "\r\nDTEND:" + end + "\r\n" + extra + "END:VEVENT\r\n");
}

inline std::string taskText(const std::string& uid, const std::string& summary,
                            const std::string& extra = "") {
    return calendarText("BEGIN:VTODO\r\nUID:" + uid + "\r\nSUMMARY:" + summary + "\r\n" + extra +
                        "END:VTODO\r\n");
}

// Events as calendar servers write them, about 200 bytes each, in December 2026, with one
// weekly event among them.
inline std::string manyEvents(int count) {
    std::string body;
    char buffer[512];
    for (int i = 0; i < count; ++i) {
        const int day = 1 + i % 28;
        std::snprintf(buffer, sizeof buffer,
                      "BEGIN:VEVENT\r\nUID:%08d-5a7d-4c61-9a58@example.org\r\n"
                      "DTSTAMP:20260101T000000Z\r\nSUMMARY:Meeting number %d\r\n"
                      "DTSTART;TZID=Europe/Rome:202612%02dT100000\r\n"
                      "DTEND;TZID=Europe/Rome:202612%02dT103000\r\n%sEND:VEVENT\r\n",
                      i, i, day, day, i == count / 2 ? "RRULE:FREQ=WEEKLY;BYDAY=MO\r\n" : "");
        body += buffer;
    }
    return calendarText(body);
}

using ::brivane::test::skipAllowed;
using ::brivane::test::waitUntil;
using ::brivane::test::writeFile;

// Runs the event loop until a timer of `interval` started now has fired; a timer of the same
// interval started earlier (a watchdog under test) has fired by then, as Qt fires timers in the
// order of their deadlines.
inline void waitPast(std::chrono::milliseconds interval) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    bool fired = false;
    QObject::connect(&timer, &QTimer::timeout, [&] { fired = true; });
    timer.start(interval);
    waitUntil([&] { return fired; }, static_cast<int>(interval.count()) + 5000);
}

} // namespace brivane::testing
