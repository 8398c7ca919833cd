#pragma once

// The settings window's content: the header's step buttons, the body of the current step (one
// SettingsStep at a time, over the controller's draft settings) and the footer that moves
// between the steps and applies the wallpaper. The current step is the wizard's; the view keeps
// none.

#include "Brivane/ui/WallpaperPreview.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <vector>

class QLabel;
class QPushButton;
class QScrollArea;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class SettingsStep;
class WizardState;

class PreferencesView : public QWidget {
    Q_OBJECT
public:
    PreferencesView(AgendaModel& model, WizardState& wizard, QWidget* parent = nullptr);

    // The header's step buttons, the footer and the body of the current step.
    QPushButton* stepButton(int step) const { return stepButtons_[std::size_t(step)]; }
    QPushButton* backButton() const { return back_; }
    QPushButton* forwardButton() const { return forward_; }
    QPushButton* summaryButton() const { return summary_; }
    QWidget* body() const { return body_; }
    // The previews of the screens step; none on the other steps.
    const std::vector<QPointer<WallpaperPreview>>& previews() const;
    // Builds a pending body at once (tests and screenshots).
    void flush();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildHeader();
    void buildFooter();
    void connectRebuilds();
    void scheduleRebuild();
    void rebuild();
    void keepFooterLastInTabOrder();
    void showStep(int step);
    void goBack();
    void goForward();
    void showSummary();
    void draftChanged();
    void syncFooter();
    void syncDraft();
    void syncPreviews();
    // The parts of the draft whose change reshapes the current step.
    std::string structureKey() const;

    AgendaModel& model_;
    WizardState& wizard_;
    std::array<QPushButton*, 4> stepButtons_{};
    QScrollArea* scroll_ = nullptr;
    QWidget* body_ = nullptr;
    QPointer<SettingsStep> step_;
    QPushButton* back_ = nullptr;
    QLabel* refreshing_ = nullptr;
    QLabel* forwardReason_ = nullptr;
    QPushButton* forward_ = nullptr;
    QPushButton* summary_ = nullptr;
    QTimer rebuildTimer_;
    std::string builtStructure_;
};

} // namespace brivane::ui
