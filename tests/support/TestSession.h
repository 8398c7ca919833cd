#pragma once

#include "RequiredComponent.h"
#include "TestScreens.h"

#include <QColor>
#include <QString>
#include <QUrl>
#include <memory>
#include <ostream>

class QCoreApplication;

namespace brivane::test {

// Test executables with widgets define this to get a QApplication (weak: others need not).
__attribute__((weak)) std::unique_ptr<QCoreApplication> makeWidgetApplication(int& argc,
                                                                              char** argv);

// The private folders this test process writes to (HOME, XDG_*), made by main().
QString sessionRoot();
// A fresh empty folder under sessionRoot().
QString freshDirectory(const QString& name);
bool haveDisplay();
bool haveSessionBus();
// A PNG of one colour.
QUrl writeImage(const QString& path, QSize size, const QColor& color);
// Takes a well-known name on the session bus. The test processes share one bus and run in
// parallel, so another test may hold the name for a while: wait for it rather than fail.
bool claimBusName(const QString& name);
// Output of a command run as a fresh process with this process's environment.
QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr);

} // namespace brivane::test

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QUrl& u, std::ostream* os) {
    *os << u.toString().toStdString();
}
QT_END_NAMESPACE
