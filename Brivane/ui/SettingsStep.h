#pragma once

// One step of the settings window and the pieces every step is built from. A step builds its
// widgets into the body the window gives it and lives as long as that body; it keeps nothing of
// its own: it reads the controller and calls its operations.

#include <QObject>
#include <QString>
#include <string>

class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class WizardState;

class SettingsStep : public QObject {
    Q_OBJECT
public:
    // `view` is the settings window's content, whose palette the step's links take.
    SettingsStep(AgendaModel& model, WizardState& wizard, QWidget& view, QWidget* body);

    virtual void build(QVBoxLayout* layout) = 0;
    // Labels that follow the draft without a rebuild.
    virtual void syncDraft() {}

Q_SIGNALS:
    // A choice changed what the step offers: the window builds it again.
    void reshaped();

protected:
    // The step's ordinal and title, then its headline.
    void addTitle(QVBoxLayout* layout, int number, const QString& title, const QString& headline);

    AgendaModel& model_;
    WizardState& wizard_;
    QWidget& view_;
    QWidget* body_;
};

QString qs(const std::string& text);
QLabel* wrapped(const QString& text, QWidget* parent);
QLabel* secondaryLabel(const QString& text, QWidget* parent);
// A short secondary line that never wraps (a count, a size).
QLabel* secondaryNote(const QString& text, QWidget* parent);
QLabel* heading(const QString& text, double scale, QWidget* parent);
// The heading of a step: its ordinal and title.
QWidget* sectionLabel(int number, const QString& title, QWidget* parent);
QPushButton* button(const QString& text, const QString& objectName, QWidget* parent);
// A framed box with a title.
QVBoxLayout* block(QVBoxLayout* layout, const QString& title, QWidget* parent);

} // namespace brivane::ui
