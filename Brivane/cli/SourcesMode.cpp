#include "Brivane/cli/SourcesMode.h"

#include "Brivane/calendar/CombinedCalendarStore.h"
#include "Brivane/cli/SubscriptionsMode.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/subscriptions/SubscriptionService.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace brivane {

namespace {

std::string homeRelative(const std::string& path) {
    const char* home = std::getenv("HOME");
    const std::string prefix = home != nullptr ? std::string(home) + "/" : std::string();
    if (prefix.size() > 1 && path.rfind(prefix, 0) == 0) {
        return "~/" + path.substr(prefix.size());
    }
    return path;
}

std::string accessLine(const CalendarStore& store, CalendarEntity entity) {
    const std::string kind =
        entity == CalendarEntity::event
            ? AgendaLanguage::text("Accesso ai calendari: ", "Calendar access: ")
            : AgendaLanguage::text("Accesso ai promemoria: ", "Task access: ");
    switch (store.authorizationStatus(entity)) {
    case AuthorizationStatus::fullAccess:
        return kind + AgendaLanguage::text("consentito", "granted");
    case AuthorizationStatus::notDetermined:
        return kind + AgendaLanguage::text("non ancora consentito (dalle impostazioni di Pellora)",
                                           "not granted yet (from Pellora's settings)");
    default:
        return kind + AgendaLanguage::text("negato", "denied") + " — " +
               store.accessProblem(entity).value_or("");
    }
}

// "Title · source  [calendar, task list]" and the id line of one calendar or task list.
std::string calendarLines(const StoreCalendar& calendar, bool events, bool tasks) {
    std::string kinds;
    if (events) {
        kinds = AgendaLanguage::text("calendario", "calendar");
    }
    if (tasks) {
        kinds +=
            (kinds.empty() ? "" : ", ") + AgendaLanguage::text("elenco promemoria", "task list");
    }
    return "  " + calendar.title + " · " + calendar.source + "  [" + kinds +
           "]\n    id: " + calendar.id + "\n";
}

// What Evolution Data Server holds: every enabled calendar and task list, what it answered for
// this week and, for a source that cannot be read now, why.
std::string edsSection(EdsCalendarStore& eds) {
    // A remote source that is slow to answer is reported as such rather than holding the output.
    const EdsCalendarStore::Report report = eds.report(std::chrono::seconds(10));
    std::string out = "\nEvolution Data Server";
    if (const auto& why = eds.unreadable(); !report.running && why) {
        return out + "\n  " +
               AgendaLanguage::text("in esecuzione, ma i suoi calendari non si possono leggere: ",
                                    "running, but its calendars cannot be read: ") +
               *why + "\n";
    }
    if (!report.running) {
        return out + "\n  " +
               AgendaLanguage::text("non in esecuzione: i file locali di Evolution si leggono "
                                    "direttamente",
                                    "not running: Evolution's local files are read directly") +
               "\n";
    }
    out += " (" + std::to_string(report.sources.size()) + ")\n";
    for (const auto& s : report.sources) {
        out += calendarLines(s.calendar, s.eventCalendar, s.taskList);
        std::string counts;
        if (s.eventCalendar) {
            counts = AgendaLanguage::text("eventi della settimana: ", "events this week: ") +
                     std::to_string(s.events);
        }
        if (s.taskList) {
            counts += (counts.empty() ? "" : " · ") +
                      AgendaLanguage::text("promemoria aperti: ", "open tasks: ") +
                      std::to_string(s.openTasks);
        }
        out += "    " + counts + "\n";
        if (s.problem) {
            out += "    " + AgendaLanguage::text("non leggibile ora: ", "cannot be read now: ") +
                   *s.problem + "\n";
        }
    }
    if (!report.complete) {
        out += "  " +
               AgendaLanguage::text("(alcune fonti non hanno risposto entro 10 secondi)",
                                    "(some sources did not answer within 10 seconds)") +
               "\n";
    }
    return out;
}

} // namespace

std::string SourcesMode::report(const std::string& directory) {
    CombinedCalendarStore store(ICalendarStore::Options::defaults(directory),
                                EdsCalendarStore::Options::patient());
    return report(store.files()) + edsSection(store.eds());
}

std::string SourcesMode::report(ICalendarStore& store) {
    // First: the store's access status is as of this look at the sources.
    const ICalendarStore::Report report = store.report();
    std::string out;
    out += accessLine(store, CalendarEntity::event) + "\n";
    out += accessLine(store, CalendarEntity::reminder) + "\n\n";

    out += AgendaLanguage::text("Calendari ed elenchi di promemoria", "Calendars and task lists") +
           " (" + std::to_string(report.collections.size()) + ")\n";
    if (report.collections.empty()) {
        out += "  " +
               AgendaLanguage::text("nessuno: aggiungi una cartella vdir o un file .ics",
                                    "none: add a vdir folder or an .ics file") +
               "\n";
    }
    for (const auto& c : report.collections) {
        out += calendarLines(c.calendar, c.eventCalendar, c.taskList);
        out += "    " + AgendaLanguage::text("percorso: ", "path: ") + homeRelative(c.path) + "\n";
        out += "    " + AgendaLanguage::text("eventi: ", "events: ") + std::to_string(c.events) +
               " · " + AgendaLanguage::text("promemoria aperti: ", "open tasks: ") +
               std::to_string(c.openTasks) + "\n";
    }

    out += "\n" + AgendaLanguage::text("Posti letti", "Places read") + "\n";
    for (const auto& place : report.sources) {
        out += "  " + homeRelative(place) + "\n";
    }
    for (const auto& place : report.missing) {
        out += "  " + homeRelative(place) + " " +
               AgendaLanguage::text("(non presente)", "(not present)") + "\n";
    }
    if (!report.problems.empty()) {
        out += "\n" +
               AgendaLanguage::text("File non letti o letti in parte",
                                    "Files not read or read in part") +
               " (" + std::to_string(report.problems.size()) + ")\n";
        for (const auto& problem : report.problems) {
            out += "  " + homeRelative(problem.path) + ": " + problem.reason + "\n";
        }
    }
    if (report.watchProblem) {
        out += "\n" + *report.watchProblem + "\n";
    }
    return out;
}

int SourcesMode::run(const ModeArguments&) {
    SubscriptionService subscriptions;
    const std::string text = report(AgendaModel::defaultDirectory().toStdString()) + "\n" +
                             SubscriptionsMode::report(subscriptions);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace brivane
