#include "Brivane/ui/WallpaperPreview.h"

#include <QPainter>
#include <QPainterPath>

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
    const bool resized = !inputs_ || !(inputs_->size == inputs.size);
    inputs_ = std::move(inputs);
    if (resized)
        updateGeometry();
    pending_.start();
}

void WallpaperPreview::flush() {
    if (pending_.isActive()) {
        pending_.stop();
        render();
    }
}

void WallpaperPreview::render() {
    if (!inputs_)
        return;
    const Inputs& in = *inputs_;
    WallpaperRenderer renderer{in.snapshot,   AgendaDates::calendar(), in.preferences,
                               in.style,      in.reminderMode,         in.reminderListIDs,
                               in.groupNames, in.timelineStartHour,    in.timelineEndHour};
    image_ = QImage();
    try {
        const auto raster = renderer.image(in.size, 1);
        if (raster) {
            // Cairo's ARGB32 is premultiplied native-endian, the same layout as Qt's.
            const QImage view(raster->data(), raster->pixelWidth(), raster->pixelHeight(),
                              qsizetype(raster->stride()), QImage::Format_ARGB32_Premultiplied);
            image_ = view.copy();
        }
    } catch (const std::exception&) {
        // A failed render shows no picture; the next change tries again.
    }
    ++renderCount_;
    update();
    Q_EMIT rendered();
}

QSize WallpaperPreview::preferredSize(Size screen, std::optional<int> proposedWidth) {
    const int width = proposedWidth.value_or(720);
    if (screen.width <= 0 || screen.height <= 0)
        return {width, width * 10 / 16};
    return {width, int(width * screen.height / screen.width)};
}

int WallpaperPreview::heightForWidth(int width) const {
    return preferredSize(inputs_ ? inputs_->size : Size{1440, 900}, width).height();
}

QSize WallpaperPreview::sizeHint() const {
    return preferredSize(inputs_ ? inputs_->size : Size{1440, 900}, std::nullopt);
}

void WallpaperPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const Size screen = inputs_ ? inputs_->size : Size{1440, 900};
    // Fit at the screen's aspect ratio, centred.
    QSizeF area = QSizeF(screen.width, screen.height).scaled(size(), Qt::KeepAspectRatio);
    const QRectF target(QPointF((width() - area.width()) / 2, (height() - area.height()) / 2),
                        area);
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
