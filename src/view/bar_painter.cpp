#include "view/bar_painter.h"

#include "view/formatters.h"

#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>

#include <cmath>

namespace {
// Below this many pixels a percentage no longer reads; a thinner bar clips the
// text instead.
constexpr int MinTextPixels = 9;
} // namespace

QColor colorFromPacked(qint64 packed)
{
    // Only the low 24 bits carry a colour; anything above is ignored.
    return QColor(int(packed & 0xFF), int((packed >> 8) & 0xFF), int((packed >> 16) & 0xFF));
}

qint64 packedFromColor(const QColor &color)
{
    return qint64(color.blue()) * 65536 + qint64(color.green()) * 256 + color.red();
}

void Dessine_Barre(QImage &image, double percent, const QColor &back, const QColor &fore)
{
    if (image.isNull())
        return;

    // Raster operations work on 32-bit images only; any other picture is
    // painted on a 32-bit copy and converted back at the end.
    const QImage::Format format = image.format();
    const bool direct = format == QImage::Format_RGB32
                        || format == QImage::Format_ARGB32_Premultiplied;
    QImage canvas = direct ? QImage() : QImage(image.size(), QImage::Format_RGB32);
    if (!direct)
        canvas.setDevicePixelRatio(image.devicePixelRatio());
    QImage &target = direct ? image : canvas;

    // A picture made for a scaled screen (device pixel ratio above 1) is
    // painted in the window's units: the painter maps them onto its pixels,
    // so the text and the bar's edge are as sharp as the screen allows.
    const qreal ratio = target.devicePixelRatio();
    const int width = qRound(target.width() / ratio);
    const int height = qRound(target.height() / ratio);
    // Opaque colours, so the raster operation works on the colour alone.
    const QColor backColour = QColor::fromRgb(back.rgb());
    const QColor foreColour = QColor::fromRgb(fore.rgb());

    {
        QPainter painter(&target);
        painter.fillRect(QRect(0, 0, width, height), backColour);

        // The application's font in bold, as large as it is on the rest of the
        // window but shrunk until a line fits the picture's height; drawn without
        // anti-aliasing so every text pixel is exactly the foreground colour and
        // the bar turns it exactly white.
        QFont font;
        font.setBold(true);
        font.setStyleStrategy(QFont::NoAntialias);
        int pixels = QFontInfo(font).pixelSize();
        font.setPixelSize(pixels);
        while (pixels > MinTextPixels && QFontMetrics(font).height() > height)
            font.setPixelSize(--pixels);
        painter.setFont(font);
        const QFontMetrics metrics = painter.fontMetrics();

        // The percentage with "###": nothing at all below one half, so 0 shows "%".
        const QString text = formatPattern(percent, QStringLiteral("###")) + u'%';
        const int x = width / 2 - metrics.horizontalAdvance(text) / 2;
        const int y = (height - metrics.height()) / 2;
        painter.setPen(foreColour);
        painter.drawText(x, y + metrics.ascent(), text);

        // The bar: 100 units across the width, drawn through not-XOR-pen so it
        // shows as NOT(fore XOR back) and the text under it as white.
        double fraction = std::isnan(percent) ? 0.0 : percent / 100.0;
        fraction = qBound(0.0, fraction, 1.0);
        const int barWidth = int(roundHalfAway(fraction * width));
        if (barWidth > 0) {
            painter.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
            painter.fillRect(QRect(0, 0, barWidth, height), foreColour);
        }
    }

    if (!direct)
        image = canvas.convertToFormat(format);
}
