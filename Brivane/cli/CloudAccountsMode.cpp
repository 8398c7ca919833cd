#include "Brivane/cli/CloudAccountsMode.h"

#include "Brivane/SingleInstance.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QUrl>
#include <cstdio>
#include <qcoro/qcorotask.h>

namespace brivane {

namespace {

void printConfigurationWarnings(const AppConfiguration& configuration) {
    for (const auto& warning : configuration.warnings)
        printError(warning);
}

// Waits for the keyring; false (with the reason printed) when the accounts cannot be read.
bool accountsReadable(CloudCalendarService& service) {
    QCoro::waitFor(service.loadAccounts(KeyringAccess::userAction));
    if (service.accountsLoaded() && !service.syncError())
        return true;
    printError(service.syncError().value_or(
        AgendaLanguage::text("Portachiavi non disponibile.", "The keyring is not available.")));
    return false;
}

} // namespace

int CloudAccountsMode::connect(const ModeArguments& arguments) {
    const std::string* value = optionValue(arguments, "--connect");
    if (!value) {
        printError("--connect needs google or microsoft");
        return 2;
    }
    const std::string& providerName = *value;
    const auto provider = cloudCalendarProviderFromRawValue(providerName);
    if (!provider) {
        printError(AgendaLanguage::text(
            "Provider sconosciuto '" + providerName + "': usa google o microsoft.",
            "Unknown provider '" + providerName + "': use google or microsoft."));
        return 1;
    }
    CloudCalendarService::Options options;
    options.authorizationStarted = [](const QUrl& url) {
        std::printf("%s\n%s\n",
                    AgendaLanguage::text("Accesso aperto nel browser. Se non si è aperto, apri "
                                         "questo indirizzo:",
                                         "Sign-in opened in the browser. If it did not open, "
                                         "open this address:")
                        .c_str(),
                    url.toString(QUrl::FullyEncoded).toUtf8().constData());
        std::fflush(stdout);
    };
    options.cancelWhenBrowserFails = false;
    CloudCalendarService service(std::move(options));
    printConfigurationWarnings(service.configuration());

    // The desktop hands the Microsoft redirect to the running instance: this one, while it waits.
    SingleInstance instance;
    if (*provider == CloudCalendarProvider::microsoft) {
        if (!instance.listen()) {
            printError(AgendaLanguage::text(
                "Pellora è già in esecuzione: collega l'account dalle sue impostazioni, o "
                "chiudilo e riprova.",
                "Pellora is already running: connect the account from its settings, or quit it "
                "and try again."));
            return 1;
        }
        QObject::connect(&instance, &SingleInstance::messageReceived, &service,
                         [&service](const QString& message) {
                             service.handleRedirect(QUrl(message, QUrl::StrictMode));
                         });
    }
    const bool connected = QCoro::waitFor(service.connect(*provider));
    if (connected) {
        std::printf("%s\n", service.connectedMessage().value_or("").c_str());
        return 0;
    }
    printError(service.signInError().value_or(
        AgendaLanguage::text("Accesso non riuscito.", "Sign-in failed.")));
    return 1;
}

int CloudAccountsMode::listAccounts(const ModeArguments&) {
    CloudCalendarService service;
    if (!accountsReadable(service))
        return 1;
    if (service.accounts().empty())
        printError(AgendaLanguage::text("Nessun account collegato.", "No accounts connected."));
    for (const auto& account : service.accounts()) {
        std::printf("%s\t%s\t%s\n", std::string(rawValue(account.provider)).c_str(),
                    account.email.c_str(), account.id().c_str());
    }
    return 0;
}

int CloudAccountsMode::disconnect(const ModeArguments& arguments) {
    const std::string* value = optionValue(arguments, "--disconnect");
    if (!value) {
        printError("--disconnect needs an account id (see --accounts)");
        return 2;
    }
    const std::string& id = *value;
    CloudCalendarService service;
    if (!accountsReadable(service))
        return 1;
    const auto& accounts = service.accounts();
    const auto found = std::find_if(accounts.begin(), accounts.end(),
                                    [&](const auto& account) { return account.id() == id; });
    if (found == accounts.end()) {
        printError(AgendaLanguage::text("Nessun account con id '" + id + "'.",
                                        "No account with id '" + id + "'."));
        return 1;
    }
    const CloudCalendarAccount account = *found;
    QCoro::waitFor(service.remove(account));
    if (service.signInError()) {
        printError(*service.signInError());
        return 1;
    }
    std::printf("%s\n",
                AgendaLanguage::text(
                    "Account scollegato: " + title(account.provider) + " · " + account.email,
                    "Account disconnected: " + title(account.provider) + " · " + account.email)
                    .c_str());
    return 0;
}

bool CloudAccountsMode::isRedirectURL(const std::string& argument) {
    const QUrl url(QString::fromStdString(argument), QUrl::StrictMode);
    const QUrl expected(QString::fromLatin1(CloudCalendarService::microsoftRedirectURI));
    return url.isValid() && url.scheme().compare(expected.scheme(), Qt::CaseInsensitive) == 0;
}

int CloudAccountsMode::forwardRedirect(const ModeArguments& arguments) {
    if (SingleInstance::send(QString::fromStdString(arguments.front())))
        return 0;
    printError(
        AgendaLanguage::text("Pellora non è in esecuzione: nessuno attende questo accesso.",
                             "Pellora is not running: no sign-in is waiting for this address."));
    return 1;
}

} // namespace brivane
