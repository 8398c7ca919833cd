#pragma once

// The settings window's content: four steps over the controller's draft settings (access,
// calendar groups, task lists, screens with a live preview) and the footer that moves between
// them and applies the wallpaper. The current step is the controller's; the view keeps none.

#include "Brivane/ui/WallpaperPreview.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <vector>

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace brivane {
class AgendaModel;
}

namespace brivane::ui {

class PreferencesView : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesView(AgendaModel& model, QWidget* parent = nullptr);

    // The header's step buttons, the footer and the body of the current step.
    QPushButton* stepButton(int step) const { return stepButtons_[std::size_t(step)]; }
    QPushButton* backButton() const { return back_; }
    QPushButton* forwardButton() const { return forward_; }
    QPushButton* summaryButton() const { return summary_; }
    QWidget* body() const { return body_; }
    const std::vector<QPointer<WallpaperPreview>>& previews() const { return previews_; }
    // Builds a pending body at once (tests and screenshots).
    void flush();

private:
    void scheduleRebuild();
    void rebuild();
    void buildAccess(QVBoxLayout* layout);
    void buildCalendars(QVBoxLayout* layout);
    void buildReminders(QVBoxLayout* layout);
    void buildScreens(QVBoxLayout* layout);
    void syncFooter();
    void syncDraft();
    void syncPreviews();
    // The parts of the draft whose change reshapes the current step.
    std::string structureKey() const;

    AgendaModel& model_;
    std::array<QPushButton*, 4> stepButtons_{};
    QScrollArea* scroll_ = nullptr;
    QWidget* body_ = nullptr;
    QPushButton* back_ = nullptr;
    QLabel* refreshing_ = nullptr;
    QPushButton* forward_ = nullptr;
    QPushButton* summary_ = nullptr;
    QTimer rebuildTimer_;
    std::string builtStructure_;

    // Labels of the current body that follow the draft without a rebuild.
    QPointer<QLabel> groupValidation_;
    std::array<QPointer<QLabel>, 2> groupCounts_{};
    QPointer<QLabel> nextPalette_;
    std::vector<QPointer<WallpaperPreview>> previews_;
    std::vector<std::string> previewScreens_;
};

} // namespace brivane::ui
