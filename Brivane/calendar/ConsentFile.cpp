#include "Brivane/calendar/ConsentFile.h"

#include "Brivane/AtomicWrite.h"
#include "Brivane/Logging.h"
#include "Brivane/calendar/SourceFiles.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace brivane::icsstore {

ConsentRead readConsent(const std::string& path) {
    ConsentRead read;
    const auto invalid = [&] {
        read.problem = path + ": " + AgendaLanguage::text("file non valido", "invalid file");
    };
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) {
            read.problem = path + ": " + errnoText(errno);
        }
        return read;
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 1024 * 1024) {
        close(fd);
        invalid();
        return read;
    }
    if (!readAndClose(fd, static_cast<std::size_t>(st.st_size), text)) {
        read.problem = path + ": " + errnoText(errno);
        return read;
    }
    try {
        const auto json = nlohmann::json::parse(text);
        read.consent.events = json.value("eventsAccess", false);
        read.consent.reminders = json.value("remindersAccess", false);
        if (json.contains("sources") && json["sources"].is_array()) {
            for (const auto& source : json["sources"]) {
                if (source.is_string()) {
                    read.consent.sources.push_back(normalisedPath(source.get<std::string>()));
                }
            }
        }
    } catch (const nlohmann::json::exception& failure) {
        // A damaged file counts as no consent; it is rewritten on the next grant.
        warnOnce(lcCalendar(),
                 QStringLiteral("Unreadable %1, read as no access: %2")
                     .arg(QString::fromStdString(path), QString::fromUtf8(failure.what())));
        read.consent = Consent{};
        invalid();
    }
    return read;
}

std::optional<std::string> writeConsent(const std::string& path, const Consent& consent) {
    nlohmann::json json{{"eventsAccess", consent.events},
                        {"remindersAccess", consent.reminders},
                        {"sources", consent.sources}};
    const std::string text = json.dump(2) + "\n";
    const std::string directory = parentPath(path);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        return directory + ": " + errnoText(error.value());
    }
    try {
        writeFileAtomically(QString::fromStdString(path),
                            QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    } catch (const FileWriteError& failure) {
        return path + ": " + failure.what();
    }
    return std::nullopt;
}

} // namespace brivane::icsstore
