#include "Brivane/cli/SourcesMode.h"

#include "Brivane/calendar/ICalendarStore.h"
#include "Brivane/controller/AgendaModel.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QCoreApplication>
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

std::string accessLine(const ICalendarStore& store, CalendarEntity entity) {
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

} // namespace

std::string SourcesMode::report(const std::string& directory) {
    ICalendarStore store(ICalendarStore::Options::defaults(directory));
    return report(store);
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
        std::string kinds;
        if (c.eventCalendar) {
            kinds = AgendaLanguage::text("calendario", "calendar");
        }
        if (c.taskList) {
            kinds += (kinds.empty() ? "" : ", ") +
                     AgendaLanguage::text("elenco promemoria", "task list");
        }
        out += "  " + c.calendar.title + " · " + c.calendar.source + "  [" + kinds + "]\n";
        out += "    id: " + c.calendar.id + "\n";
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
        out += "\n" + AgendaLanguage::text("File non letti", "Files not read") + " (" +
               std::to_string(report.problems.size()) + ")\n";
        for (const auto& problem : report.problems) {
            out += "  " + homeRelative(problem.path) + ": " + problem.reason + "\n";
        }
    }
    if (report.watchProblem) {
        out += "\n" + *report.watchProblem + "\n";
    }
    return out;
}

int SourcesMode::run() {
    int argc = 1;
    char name[] = "pellora";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const std::string text = report(AgendaModel::defaultDirectory().toStdString());
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace brivane
