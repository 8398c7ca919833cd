#pragma once

// A live miniature of one screen's wallpaper in the settings window. Inputs may change on every
// keystroke or slider step; renders are coalesced so that at most one runs per event-loop turn
// and the latest inputs always win.

#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace brivane::ui {

class WallpaperPreview : public QWidget {
    Q_OBJECT
public:
    // What one screen's wallpaper is drawn from, as the wallpaper service draws it: the
    // settings being edited (their `screens` left empty, so that another screen's margins do not
    // redraw this one), the screen's own settings and its size in points.
    struct Inputs {
        AgendaSnapshot snapshot;
        Preferences preferences;
        ScreenPreferences screen;
        QSize size;
        bool operator==(const Inputs&) const = default;
    };

    explicit WallpaperPreview(QWidget* parent = nullptr);

    // Schedules a render when the inputs differ from the last ones (once shown).
    void setInputs(Inputs inputs);
    const std::optional<Inputs>& inputs() const { return inputs_; }
    // The last rendered picture, as many device pixels as the miniature shows, at the widget's
    // device pixel ratio; null before the first render, after a failed one and while the
    // preview is hidden.
    const QImage& image() const { return image_; }
    // Renders now when a render is pending (tests and screenshots).
    void flush();
    int renderCount() const { return renderCount_; }

    // Width as proposed (720 without a proposal); height at the screen's aspect ratio.
    static QSize preferredSize(QSize screen, std::optional<int> proposedWidth);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void rendered();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void schedule();
    void render();
    // The screen's size in points; a common laptop screen before the inputs arrive.
    QSize screen() const;
    // Where the picture lies inside the widget, at the screen's aspect ratio.
    QRectF pictureArea() const;
    // The picture's size in device pixels.
    QSize pixelSize() const;
    double renderScale() const;

    std::optional<Inputs> inputs_;
    QImage image_;
    QTimer pending_;
    bool drawn_ = false; // the image is of the current inputs and size
    int renderCount_ = 0;
};

} // namespace brivane::ui
