// Prints the occurrences Pellora reads from iCalendar files, for comparison with another
// implementation. Reads lines "FILE FROM TO" (seconds since 1970) on standard input and answers
// each with lines "START END" (seconds; an all-day event adds " day"), then a line ".".
// Usage: expand-occurrences LOCAL-ZONE

#include "Brivane/calendar/ICalendarReader.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

using namespace brivane;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: expand-occurrences LOCAL-ZONE\n";
        return 2;
    }
    const ical::LocalZone local(argv[1]);
    std::map<std::string, std::shared_ptr<ical::CalendarFile>> files;
    std::string path;
    long long from = 0;
    long long to = 0;
    std::vector<ical::EventOccurrence> out;
    const auto seconds = [](Date d) {
        return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
    };
    while (std::cin >> path >> from >> to) {
        auto& file = files[path];
        if (!file) {
            std::ifstream in(path, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            file = ical::CalendarFile::parse(text.str(), path);
            if (file->error()) {
                std::cerr << path << ": " << file->error()->english << "\n";
                return 1;
            }
        }
        out.clear();
        file->events(dateFromSeconds(from), dateFromSeconds(to), local, out);
        for (const auto& e : out) {
            std::cout << seconds(e.start) << ' ' << seconds(e.end) << (e.allDay ? " day" : "")
                      << '\n';
        }
        std::cout << ".\n" << std::flush;
    }
    return 0;
}
