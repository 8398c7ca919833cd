#include "WindowsFixture.h"

#include <qcoro/qcorotask.h>

namespace brivane::test {
namespace {

std::string item(const char* component, const std::string& uid, const std::string& summary) {
    const std::string times = std::string(component) == "VEVENT"
                                  ? "DTSTART:20261207T100000Z\r\nDTEND:20261207T110000Z\r\n"
                                  : "";
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:" +
           std::string(component) + "\r\nUID:" + uid + "\r\nSUMMARY:" + summary + "\r\n" + times +
           "END:" + component + "\r\nEND:VCALENDAR\r\n";
}

} // namespace

WindowsFixture::WindowsFixture(bool setUp) : setup(utc(2026, 12, 7, 9, 0), QStringLiteral("a11y")) {
    setup.consent = setUp;
    setup.screens = {screen("A", QRect(0, 0, 1440, 900), 1),
                     screen("B", QRect(1440, 0, 1920, 1080), 1)};
    if (setUp) {
        setup.addCalendar("work", "Work", {item("VEVENT", "a", "Planning")});
        setup.addCalendar("home", "Home", {item("VEVENT", "b", "Dentist")});
        for (const char* list : {"Errands", "Office"})
            setup.addCalendar(std::string("tasks-") + list, list,
                              {item("VTODO", std::string("t-") + list, "Something")});
    }
    model = setup.build();
    wizardState = std::make_unique<ui::WizardState>(*model);
    model->start();
    waitForIdle(*model);
    if (setUp) {
        host = std::make_unique<CalendarHost>();
        const auto added = QCoro::waitFor(model->subscribe(host->address()));
        EXPECT_FALSE(added.error) << added.error.value_or("");
        if (added.subscription)
            subscription = added.subscription->id;
    }
}

} // namespace brivane::test
