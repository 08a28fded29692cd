#include "view/graph_painter.h"

#include <QPainter>

#include <cmath>

namespace {

constexpr int Samples = 50;

// The number a sample's text holds; anything that is not a number counts as 0.
double sampleValue(const QStringList &list, int i)
{
    bool ok = false;
    const double v = list.value(i).toDouble(&ok);
    return ok && std::isfinite(v) ? v : 0;
}

// Draws one picture: samples `first` to 49 of `samples`, sample `first` at the
// left edge; `immediates` decides which positions are drawn at all.
void drawPicture(QImage *image, const QStringList &samples, const QStringList &immediates,
                 const GraphPainter::Style &style, int first)
{
    if (!image || image->isNull())
        return;
    const QImage::Format format = image->format();
    const bool direct = format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied;
    QImage canvas = direct ? QImage() : QImage(image->size(), QImage::Format_RGB32);
    QImage &target = direct ? *image : canvas;
    // Columns and lines fall on the picture's own pixels, also in a picture
    // made for a scaled screen: it is painted as if unscaled, then gets its
    // ratio back.
    const qreal ratio = image->devicePixelRatio();
    target.setDevicePixelRatio(1);
    // Opaque colours, so the raster operation works on the colour alone.
    target.fill(QColor::fromRgb(style.background.rgb()));

    const int m = style.modemSpeed;
    const double h = std::floor(1.5 * m);
    if (h > 0) {
        const int width = target.width(), height = target.height();
        const auto px = [width](int x) { return int(qint64(x) * width / Samples); };
        // Clamped to just outside the picture, so huge samples cannot overflow.
        const auto py = [height, h](double y) { return int(qBound(-1.0, std::floor(y * height / h), double(height))); };
        const QColor columns = QColor::fromRgb(style.columns.rgb());
        const QColor modem = QColor::fromRgb(style.modem.rgb());
        const int lineTop = py(h - m), lineBottom = py(h - m + std::floor(2.0 * m / 600));

        QPainter p(&target);
        p.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
        for (int i = Samples - 1; i >= first; --i) {
            const int x0 = px(i - first), x1 = px(i - first + 1);
            const bool flowing = sampleValue(immediates, i) != 0;
            if (x1 <= x0)
                continue;
            const double v = sampleValue(samples, i);
            // A negative sample would lie below the bottom edge: nothing shows.
            if (flowing && v > 0)
                p.fillRect(QRect(QPoint(x0, py(h - v)), QPoint(x1 - 1, height - 1)), columns);
            if (style.showModem && (flowing || style.modemEverywhere)) {
                // The outline of the box: both of its rows and both of its sides.
                p.fillRect(QRect(x0, lineTop, x1 - x0, 1), modem);
                p.fillRect(QRect(x0, lineBottom, x1 - x0, 1), modem);
                p.fillRect(QRect(QPoint(x0, lineTop), QPoint(x0, lineBottom)), modem);
                p.fillRect(QRect(QPoint(x1 - 1, lineTop), QPoint(x1 - 1, lineBottom)), modem);
            }
        }
    }
    if (!direct)
        *image = canvas.convertToFormat(format);
    image->setDevicePixelRatio(ratio);
}

} // namespace

void GraphPainter::draw(QImage *average, QImage *immediate, const QStringList &averages,
                        const QStringList &immediates, const Style &style)
{
    drawFinal(average, immediate, averages, immediates, style, Samples);
}

void GraphPainter::drawFinal(QImage *average, QImage *immediate, const QStringList &averages,
                             const QStringList &immediates, const Style &style, int traces)
{
    // More traces than samples (the count goes on when snapshots cannot be
    // saved) draws all of them.
    const int first = Samples - qBound(0, traces, Samples);
    drawPicture(average, averages, immediates, style, first);
    drawPicture(immediate, immediates, immediates, style, first);
}
