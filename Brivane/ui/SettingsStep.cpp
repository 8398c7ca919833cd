#include "Brivane/ui/SettingsStep.h"

#include "Brivane/ui/UiSupport.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brivane::ui {

SettingsStep::SettingsStep(AgendaModel& model, WizardState& wizard, QWidget& view, QWidget* body)
    : QObject(body), model_(model), wizard_(wizard), view_(view), body_(body) {}

void SettingsStep::addTitle(QVBoxLayout* layout, int number, const QString& title,
                            const QString& headline) {
    layout->addWidget(sectionLabel(number, title, body_));
    layout->addWidget(heading(headline, 1.8, body_));
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* wrapped(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = wrapped(text, parent);
    setTextColor(label, AgendaColors::secondaryOn(label->palette()));
    return label;
}

QLabel* secondaryNote(const QString& text, QWidget* parent) {
    auto* label = secondaryLabel(text, parent);
    label->setWordWrap(false);
    return label;
}

QLabel* heading(const QString& text, double scale, QWidget* parent) {
    auto* label = wrapped(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(true);
    label->setFont(font);
    return label;
}

QWidget* sectionLabel(int number, const QString& title, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* ordinal = new QLabel(QString::number(number), row);
    setTextColor(ordinal, AgendaColors::accentOn(ordinal->palette()));
    QFont font = ordinal->font();
    font.setBold(true);
    ordinal->setFont(font);
    auto* name = new QLabel(title.toUpper(), row);
    name->setFont(font);
    setTextColor(name, AgendaColors::accentOn(name->palette()));
    layout->addWidget(ordinal);
    layout->addWidget(name);
    layout->addStretch();
    row->setAccessibleName(QString::number(number) + QStringLiteral(". ") + title);
    return row;
}

QPushButton* button(const QString& text, const QString& objectName, QWidget* parent) {
    auto* result = new QPushButton(text, parent);
    result->setObjectName(objectName);
    setAccessible(result, text);
    padButton(result);
    return result;
}

QVBoxLayout* block(QVBoxLayout* layout, const QString& title, QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setFrameShape(QFrame::StyledPanel);
    auto* inner = new QVBoxLayout(frame);
    inner->setContentsMargins(14, 12, 14, 12);
    if (!title.isEmpty())
        inner->addWidget(heading(title, 1.1, frame));
    layout->addWidget(frame);
    return inner;
}

} // namespace brivane::ui
