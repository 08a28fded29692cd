#include "view/bar_painter.h"

#include <QtTest>

// The text's exact shape depends on the installed fonts, so the checks only rely
// on where the text may be (centred) and on which colours a pixel may take.
constexpr int kWidth = 200, kHeight = 18;

static QImage painted(double percent, const QColor &back, const QColor &fore,
                      QImage::Format format = QImage::Format_RGB32)
{
    QImage image(kWidth, kHeight, format);
    image.fill(Qt::black);
    Dessine_Barre(image, percent, back, fore);
    return image;
}

class TestBarPainter : public QObject
{
    Q_OBJECT

private slots:
    // Catches red and blue swapped in the packed colours, a plain fill instead of
    // NOT(fore XOR back), a bar of the wrong length, text off centre or not
    // inverted under the bar, "0%" instead of "%", and formats the raster
    // operations do not handle painted differently.
    void bar()
    {
        // Background, fore colour (both packed), and the bar colour they give. The
        // defaults: white background, red main bar, pink slot bars.
        const std::tuple<qint64, qint64, QColor> cases[] = {
            {16777215, 255, QColor(255, 0, 0)}, {16777215, 8421631, QColor(255, 128, 128)},
            {0x996633, 0x55AA00, QColor(0xCC3333)}};
        for (const auto &[backPacked, forePacked, barColour] : cases) {
            const QColor back = colorFromPacked(backPacked), fore = colorFromPacked(forePacked);
            QCOMPARE(packedFromColor(fore), forePacked);
            QMap<int, int> textPixels;
            for (int percent : {0, 50, 100}) {
                const QImage image = painted(percent, back, fore);
                for (QImage::Format format : {QImage::Format_RGB888, QImage::Format_ARGB32_Premultiplied})
                    QCOMPARE(painted(percent, back, fore, format).convertToFormat(QImage::Format_RGB32), image);
                const int barEnd = kWidth * percent / 100;
                int textLeft = kWidth, textRight = -1, underBar = 0, beside = 0;
                for (int i = 0; i < kWidth * kHeight; ++i) {
                    const int x = i % kWidth, y = i / kWidth;
                    const QRgb p = image.pixel(x, y);
                    const bool inBar = x < barEnd;
                    const bool isText = p == (inBar ? qRgb(255, 255, 255) : fore.rgb());
                    if (!isText && p != (inBar ? barColour.rgb() : back.rgb()))
                        QFAIL(qPrintable(QStringLiteral("%1 %: pixel (%2, %3) is %4")
                                             .arg(percent).arg(x).arg(y).arg(p, 8, 16)));
                    textLeft = isText ? qMin(textLeft, x) : textLeft;
                    textRight = isText ? qMax(textRight, x) : textRight;
                    (inBar ? underBar : beside) += isText;
                }
                // Centred: the margins differ by no more than a glyph's side bearings.
                QVERIFY2(textRight >= 0 && qAbs(textLeft - (kWidth - 1 - textRight)) <= kHeight / 2,
                         qPrintable(QStringLiteral("%1 %: text from %2 to %3").arg(percent).arg(textLeft).arg(textRight)));
                QVERIFY(percent != 50 || (underBar > 0 && beside > 0));
                QVERIFY(percent != 100 || beside == 0);
                textPixels[percent] = underBar + beside;
            }
            QVERIFY(textPixels[100] > textPixels[0]);
            // Below one half the percentage rounds to nothing: the same "%" as at 0.
            QCOMPARE(painted(0.4, back, fore).copy(kWidth / 4, 0, kWidth / 2, kHeight),
                     painted(0, back, fore).copy(kWidth / 4, 0, kWidth / 2, kHeight));
        }
    }
};

QTEST_MAIN(TestBarPainter)
#include "test_bar_painter.moc"
