#pragma once

// The one keyring item that holds the cloud account list, read and written through the Secret
// Service (qtkeychain, never its plaintext fallback). Asynchronous: an unlock prompt never blocks
// the event loop.

#include <QString>
#include <cstdint>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>

namespace brivane {

class CloudAccountKeyring {
public:
    static constexpr const char* itemKey = "accounts";

    struct ReadResult {
        enum class Kind { found, missing, unavailable };
        Kind kind = Kind::unavailable;
        std::string data;
        // The keyring's error code and description when unavailable.
        std::int32_t status = 0;
        std::string message;
        // The user dismissed the keyring's unlock prompt (or refused access).
        bool dismissed = false;
    };
    struct WriteResult {
        bool ok = false;
        std::int32_t status = 0;
        std::string message;
    };

    explicit CloudAccountKeyring(QString service) : service_(std::move(service)) {}
    virtual ~CloudAccountKeyring() = default;

    virtual QCoro::Task<ReadResult> read() const;
    // Replaces the item's data (creating the item when missing).
    virtual QCoro::Task<WriteResult> write(std::string data) const;

    const QString& service() const { return service_; }

private:
    QCoro::Task<std::optional<ReadResult>> checkLocked() const;

    QString service_;
};

// A note beside the settings, holding no secret, of whether cloud accounts were stored: until
// the user has one, nothing touches the keyring (no unlock prompt, no wallet set-up on a first
// start). Written atomically; an unreadable note counts as "maybe", so no account is hidden.
class CloudAccountNote {
public:
    // cloud-accounts.json in the application's configuration folder.
    static QString defaultPath();

    explicit CloudAccountNote(QString path) : path_(std::move(path)) {}

    // Absent when there is no note yet (a first start, or a version that kept none).
    std::optional<bool> accountsExist() const;
    // Throws FileWriteError.
    void record(bool accountsExist) const;

    const QString& path() const { return path_; }

private:
    QString path_;
};

} // namespace brivane
