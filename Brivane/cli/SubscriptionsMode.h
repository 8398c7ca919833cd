#pragma once

#include "Brivane/cli/CommandLineMode.h"

#include <string>
#include <vector>

namespace brivane {

class SubscriptionService;

// Terminal commands for calendars by address. Addresses carry secret tokens, so nothing here
// prints more of one than its host. Each returns the exit status (0 success, 1 failure, 2 usage).
struct SubscriptionsMode {
    // --subscribe URL [--name NAME]: fetches the address at once and prints the name and id.
    static int subscribe(const ModeArguments& arguments);
    // --subscriptions: one line per subscription: id, name and host, separated by tabs.
    static int list(const ModeArguments& arguments);
    // --unsubscribe ID
    static int unsubscribe(const ModeArguments& arguments);
    // Looks at the subscriptions due; a line per one that failed (and for the keyring).
    static std::vector<std::string> refreshed(SubscriptionService& service);
    // The subscriptions' section of --sources: each one's state, after a look at those due.
    static std::string report(SubscriptionService& service);
};

} // namespace brivane
