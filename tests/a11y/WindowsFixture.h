#pragma once

#include "Brivane/controller/AgendaModel.h"
#include "Brivane/ui/WizardState.h"
#include "ControllerTestSupport.h"

#include <QByteArray>
#include <QWidget>
#include <memory>

namespace brivane::test {

// Texts follow the language of the moment; each test picks one.
struct Language {
    explicit Language(const char* value) : previous(qgetenv("LANGUAGE")) {
        qputenv("LANGUAGE", value);
    }
    ~Language() { qputenv("LANGUAGE", previous); }
    QByteArray previous;
};

// The windows' controller on real calendar folders and two screens. Set up: calendars, task
// lists, consent and a calendar by address from a loopback host, so every step shows all its
// controls; otherwise a first run.
struct WindowsFixture {
    explicit WindowsFixture(bool setUp);
    ui::WizardState& wizard() { return *wizardState; }

    std::unique_ptr<CalendarHost> host;
    std::string subscription; // its calendar's id
    ModelSetup setup;
    std::unique_ptr<AgendaModel> model;
    std::unique_ptr<ui::WizardState> wizardState;
};

// Gives `widget` the keyboard focus as a Tab press would, and waits for it. Focus needs its window
// active: on a display without a window manager another test's window, or a slow first drawing,
// may hold activation a moment, so the window asks again while it waits.
inline bool focusByKeyboard(QWidget* widget) {
    widget->setFocus(Qt::TabFocusReason);
    return waitUntil(
        [&] {
            if (!widget->window()->isActiveWindow()) {
                widget->window()->activateWindow();
                widget->setFocus(Qt::TabFocusReason);
            }
            return widget->hasFocus();
        },
        10000);
}

} // namespace brivane::test
