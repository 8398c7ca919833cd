// Memory of one large calendar file: a 20 MB .ics of 100,000 events, read the way the store reads
// it. Prints the peak resident size of the process while the file is read and parsed, and the
// heap the parsed file keeps afterwards; once for plain events and once with a recurring event
// among them (recurrence expansion needs more of the file than a plain event). Each case runs
// in its own process, so that one case's peak does not hide the other's.

#include "Brivane/calendar/ICalendarReader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace brivane;

namespace {

constexpr int eventCount = 100000;

// About 200 bytes per event, as calendar servers write them.
std::string largeCalendar(bool withRule) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n";
    text.reserve(21 * 1024 * 1024);
    char buffer[512];
    for (int i = 0; i < eventCount; ++i) {
        const int day = 1 + i % 28;
        const int hour = 8 + i % 10;
        std::snprintf(buffer, sizeof buffer,
                      "BEGIN:VEVENT\r\nUID:%08d-5a7d-4c61-9a58@example.org\r\n"
                      "DTSTAMP:20260101T000000Z\r\nSUMMARY:Meeting number %d\r\n"
                      "DTSTART;TZID=Europe/Rome:202612%02dT%02d0000\r\n"
                      "DTEND;TZID=Europe/Rome:202612%02dT%02d3000\r\n"
                      "%sEND:VEVENT\r\n",
                      i, i, day, hour, day, hour,
                      withRule && i == eventCount / 2 ? "RRULE:FREQ=WEEKLY;BYDAY=MO\r\n" : "");
        text += buffer;
    }
    text += "END:VCALENDAR\r\n";
    return text;
}

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double megabytes(double bytes) {
    return bytes / (1024.0 * 1024.0);
}

void measure(bool withRule) {
    const std::size_t before = mallinfo2().uordblks;
    std::string text = largeCalendar(withRule);
    const double fileSize = megabytes(static_cast<double>(text.size()));
    const long startPeak = peakKilobytes();
    const auto started = std::chrono::steady_clock::now();
    auto file = ical::CalendarFile::parse(text, "large.ics");
    const auto parsed = std::chrono::steady_clock::now() - started;
    const long peak = peakKilobytes();
    std::string().swap(text);
    malloc_trim(0);
    const std::size_t kept = mallinfo2().uordblks - before;
    std::printf("%-28s file %.1f MB, %zu events: peak %.0f MB (%.0f MB above the start), "
                "kept %.1f MB, parsed in %lld ms%s\n",
                withRule ? "100,000 events, one RRULE" : "100,000 events", fileSize,
                file->eventCount(), peak / 1024.0, (peak - startPeak) / 1024.0,
                megabytes(static_cast<double>(kept)),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(parsed).count()),
                file->error() ? " (error)" : "");
}

} // namespace

int main() {
    for (const bool withRule : {false, true}) {
        const pid_t child = fork();
        if (child == 0) {
            measure(withRule);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    return 0;
}
