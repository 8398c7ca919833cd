#pragma once

// Step 4: the wallpaper's style and hours, launch at login, and one editor per connected screen
// (margins beside a live preview drawn like the wallpaper).

#include "Brivane/ui/SettingsStep.h"
#include "Brivane/ui/WallpaperPreview.h"

#include <QPointer>
#include <vector>

class QComboBox;
class QFrame;
class QGridLayout;
class QLabel;

namespace brivane {
struct ConnectedScreen;
}

namespace brivane::ui {

class ScreensStep : public SettingsStep {
    Q_OBJECT
public:
    using SettingsStep::SettingsStep;
    void build(QVBoxLayout* layout) override;
    void syncDraft() override;
    // Hands each preview the draft, its own screen's settings and the snapshot to draw.
    void syncPreviews();

    const std::vector<QPointer<WallpaperPreview>>& previews() const { return previews_; }

private:
    void buildStyleAndHours(QVBoxLayout* layout);
    void buildStyle(QGridLayout* options);
    void buildHours(QGridLayout* options);
    void buildLaunchAtLogin(QVBoxLayout* layout);
    void buildScreen(QVBoxLayout* layout, const ConnectedScreen& screen);
    void buildMargins(QGridLayout* sliders, QFrame* frame, const ConnectedScreen& screen);

    void chooseStyle(QComboBox* picker, int index);
    void chooseStartHour(QComboBox* picker, int index);
    void chooseEndHour(QComboBox* picker, int index);
    void setLaunchAtLogin(bool on);
    void retryLaunchAtLogin();
    void enableScreen(const std::string& id, bool on);
    void setMargin(const std::string& id, double ScreenPreferences::*field, QLabel* value,
                   int percent);

    QPointer<QLabel> nextPalette_;
    std::vector<QPointer<WallpaperPreview>> previews_;
    std::vector<std::string> previewScreens_;
};

} // namespace brivane::ui
