#pragma once

// The about window's content: version, the privacy line and the update controls of the
// controller's update checker.

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class AboutView : public QWidget {
    Q_OBJECT
public:
    explicit AboutView(AgendaModel& model, QWidget* parent = nullptr);

    QCheckBox* automaticChecks() const { return automatic_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* checkButton() const { return check_; }
    QPushButton* downloadButton() const { return download_; }

private:
    void sync();

    AgendaModel& model_;
    QCheckBox* automatic_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* check_ = nullptr;
    QPushButton* download_ = nullptr;
};

} // namespace brivane::ui
