// Files parsed and read on several threads at once, as the stores do: the first parses of a
// process race over libical's zone table, and every thread's reads share the system zones.

#include "Brivane/calendar/ICalendarReader.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace brivane;

namespace {

Date utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0) {
    using namespace std::chrono;
    return Date{sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi}};
}

// Zones with whole, half and three-quarter hour offsets; some files bring their own VTIMEZONE.
const char* const zones[] = {"Asia/Kolkata", "Europe/Rome", "America/New_York",
                             "Australia/Lord_Howe", "Pacific/Chatham"};
const int offsets[] = {330, 60, -300, 660, 825}; // minutes east of UTC on 8 December 2026

std::string fileText(int i) {
    const int zone = i % 5;
    std::string body = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
    if (i % 7 == 0) {
        body += "BEGIN:VTIMEZONE\r\nTZID:Own " + std::to_string(i) +
                "\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:+0530\r\n"
                "TZOFFSETTO:+0530\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
    }
    const std::string tzid = i % 7 == 0 ? "Own " + std::to_string(i) : zones[zone];
    body += "BEGIN:VEVENT\r\nUID:e" + std::to_string(i) +
            "\r\nDTSTAMP:20261201T101010Z\r\nSUMMARY:Standup\r\nDTSTART;TZID=" + tzid +
            ":20261208T090000\r\nDURATION:PT30M\r\nRRULE:FREQ=DAILY;COUNT=3\r\n"
            "END:VEVENT\r\nEND:VCALENDAR\r\n";
    return body;
}

Date expectedStart(int i) {
    const int offset = i % 7 == 0 ? 330 : offsets[i % 5];
    return utc(2026, 12, 8, 9) - std::chrono::minutes(offset);
}

} // namespace

TEST(ConcurrentReads, FirstParsesAndReadsOnFourThreadsAgree) {
    constexpr int files = 400;
    constexpr int threads = 4;
    std::vector<std::shared_ptr<ical::CalendarFile>> parsed(files);
    std::vector<int> wrong(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = t; i < files; i += threads) {
                parsed[i] = ical::CalendarFile::parse(fileText(i), "e.ics");
            }
            // Each thread reads its own files, in a local zone of its own, several times.
            const ical::LocalZone local(zones[t]);
            std::vector<ical::EventOccurrence> out;
            for (int round = 0; round < 5; ++round) {
                for (int i = t; i < files; i += threads) {
                    out.clear();
                    parsed[i]->events(utc(2026, 12, 7) + std::chrono::hours(round),
                                      utc(2026, 12, 14), local, out);
                    if (out.size() != 3 || out[0].start != expectedStart(i)) {
                        ++wrong[t];
                    }
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    }
}
