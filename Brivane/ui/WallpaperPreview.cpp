#include "Brivane/ui/WallpaperPreview.h"

#include "Brivane/Logging.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/render/WallpaperRenderer.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace brivane::ui {

WallpaperPreview::WallpaperPreview(QWidget* parent) : QWidget(parent) {
    pending_.setSingleShot(true);
    pending_.setInterval(0);
    connect(&pending_, &QTimer::timeout, this, &WallpaperPreview::render);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setMinimumSize(160, 100);
}

void WallpaperPreview::setInputs(Inputs inputs) {
    if (inputs_ && *inputs_ == inputs)
        return;
    const bool resized = !inputs_ || inputs_->size != inputs.size;
    inputs_ = std::move(inputs);
    if (resized)
        updateGeometry();
    drawn_ = false;
    schedule();
}

void WallpaperPreview::schedule() {
    // A hidden preview draws nothing; it draws when it shows.
    if (isVisible())
        pending_.start();
}

void WallpaperPreview::flush() {
    if (pending_.isActive()) {
        pending_.stop();
        render();
    }
}

QSize WallpaperPreview::screen() const {
    return inputs_ && !inputs_->size.isEmpty() ? inputs_->size : QSize(1440, 900);
}

QRectF WallpaperPreview::pictureArea() const {
    const QSizeF area = QSizeF(screen()).scaled(size(), Qt::KeepAspectRatio);
    // On whole device pixels: the picture is then shown pixel for pixel, never resampled.
    const double ratio = devicePixelRatioF();
    const auto snap = [ratio](double value) { return std::floor(value * ratio) / ratio; };
    return {QPointF(snap((width() - area.width()) / 2), snap((height() - area.height()) / 2)),
            QSizeF(snap(area.width()), snap(area.height()))};
}

QSize WallpaperPreview::pixelSize() const {
    const QSizeF area = pictureArea().size() * devicePixelRatioF();
    return {int(std::lround(area.width())), int(std::lround(area.height()))};
}

double WallpaperPreview::renderScale() const {
    if (!inputs_ || inputs_->size.width() <= 0)
        return 1;
    // Drawn straight at a few pixels per letter, Cairo puts each glyph on a whole pixel and the
    // words fall apart. Drawn at the screen's own size (three times the pixels shown at most,
    // for a huge screen) and brought down with a smooth filter, the miniature reads like the
    // wallpaper itself.
    const double ratio = std::max(1.0, devicePixelRatioF());
    return std::clamp(3.0 * pixelSize().width() / inputs_->size.width(), 0.05, ratio);
}

void WallpaperPreview::render() {
    if (!inputs_ || !isVisible())
        return;
    const Inputs& in = *inputs_;
    image_ = QImage();
    try {
        // Drawn as the wallpaper service draws the screen's wallpaper.
        std::shared_ptr<const RasterImage> raster =
            WallpaperService::render(
                {in.snapshot, in.preferences, in.screen, in.size, renderScale()})
                .pixels;
        if (raster) {
            // Cairo's ARGB32 is premultiplied native-endian, the same layout as Qt's.
            const QImage drawn(raster->data(), raster->pixelWidth(), raster->pixelHeight(),
                               qsizetype(raster->stride()), QImage::Format_ARGB32_Premultiplied);
            const QSize shown = pixelSize();
            image_ = drawn.size() == shown
                         ? drawn.copy()
                         : drawn.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            image_.setDevicePixelRatio(devicePixelRatioF());
        }
    } catch (const std::exception& failure) {
        // A failed render shows no picture; the next change tries again.
        brivane::warnOnce(lcUi(), QStringLiteral("Preview not drawn: %1").arg(failure.what()));
    }
    drawn_ = true;
    ++renderCount_;
    update();
    Q_EMIT rendered();
}

void WallpaperPreview::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (inputs_ && !drawn_)
        schedule();
}

void WallpaperPreview::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // A closed settings window keeps no pictures: they are drawn again when it reopens.
    pending_.stop();
    image_ = QImage();
    drawn_ = false;
}

void WallpaperPreview::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Drawn again at the new size when the miniature's pixels change noticeably.
    if (drawn_ && !image_.isNull() && image_.size() != pixelSize()) {
        drawn_ = false;
        schedule();
    }
}

QSize WallpaperPreview::preferredSize(QSize screen, std::optional<int> proposedWidth) {
    const int width = proposedWidth.value_or(720);
    if (screen.isEmpty())
        return {width, width * 10 / 16};
    return {width, int(width * double(screen.height()) / screen.width())};
}

int WallpaperPreview::heightForWidth(int width) const {
    return preferredSize(screen(), width).height();
}

QSize WallpaperPreview::sizeHint() const {
    return preferredSize(screen(), std::nullopt);
}

void WallpaperPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Fit at the screen's aspect ratio, centred.
    const QRectF target = pictureArea();
    QPainterPath frame;
    frame.addRoundedRect(target.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    painter.setClipPath(frame);
    if (!image_.isNull())
        painter.drawImage(target, image_);
    else
        painter.fillRect(target, palette().window().color().darker(105));
    painter.setClipping(false);
    painter.setPen(QPen(palette().mid().color(), 1));
    painter.drawPath(frame);
}

} // namespace brivane::ui
