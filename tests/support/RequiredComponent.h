#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace brivane::test {

// Whether the developer lets tests skip when `component` cannot run on this machine:
// PELLORA_ALLOW_SKIP names components, comma-separated (e.g. "eds,keyring"), or "all".
inline bool skipAllowed(const char* component) {
    const QStringList allowed = qEnvironmentVariable("PELLORA_ALLOW_SKIP").split(u',');
    return allowed.contains(QLatin1String(component)) || allowed.contains(QStringLiteral("all"));
}

} // namespace brivane::test

// A test whose real component cannot run fails: a skip would turn the run green without
// testing anything. PELLORA_ALLOW_SKIP=<component> makes it a skip.
#define PELLORA_REQUIRE(component, present, why)                                                   \
    do {                                                                                           \
        if (present)                                                                               \
            break;                                                                                 \
        if (::brivane::test::skipAllowed(component))                                               \
            GTEST_SKIP() << why;                                                                   \
        FAIL() << why << " (PELLORA_ALLOW_SKIP=" component " skips instead)";                      \
    } while (false)
