#include "display/bar_painter.h"

#include <QtTest>

// The text's exact shape depends on the installed fonts, so the checks only rely
// on where the text may be (centred) and on which colours a pixel may take.
constexpr int kWidth = 200;
constexpr int kHeight = 18;

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
    void bar_data()
    {
        QTest::addColumn<qint64>("backPacked");
        QTest::addColumn<qint64>("forePacked");
        QTest::addColumn<QColor>("barColour");
        // The option defaults: white background, red main bar, pink slot bars; on
        // white the bar has the fore colour itself. A coloured background shows
        // NOT(fore XOR back) for what it is.
        QTest::newRow("main bar") << qint64(16777215) << qint64(255) << QColor(255, 0, 0);
        QTest::newRow("slot bar") << qint64(16777215) << qint64(8421631) << QColor(255, 128, 128);
        QTest::newRow("coloured background") << qint64(0x996633) << qint64(0x55AA00) << QColor(0xCC3333);
    }

    // Left of the bar's end every pixel is the bar colour or white text, right of
    // it the background or fore-coloured text; the text is centred and, at 50 %,
    // split by the bar's end. At 0 it is "%" alone, fewer pixels than "100%".
    void bar()
    {
        QFETCH(qint64, backPacked);
        QFETCH(qint64, forePacked);
        QFETCH(QColor, barColour);
        const QColor back = colorFromPacked(backPacked);
        const QColor fore = colorFromPacked(forePacked);
        QCOMPARE(packedFromColor(fore), forePacked);
        const QRgb white = qRgb(255, 255, 255);
        QMap<int, int> textPixels;

        for (int percent : {0, 50, 100}) {
            const QImage image = painted(percent, back, fore);
            // Formats the raster operations do not handle get the same pixels, in their own format.
            for (QImage::Format format : {QImage::Format_RGB888, QImage::Format_ARGB32,
                                          QImage::Format_ARGB32_Premultiplied}) {
                const QImage other = painted(percent, back, fore, format);
                QCOMPARE(other.format(), format);
                QCOMPARE(other.convertToFormat(QImage::Format_RGB32), image);
            }
            const int barEnd = kWidth * percent / 100;
            int textLeft = kWidth, textRight = -1, underBar = 0, beside = 0;
            for (int y = 0; y < kHeight; ++y) {
                for (int x = 0; x < kWidth; ++x) {
                    const QRgb p = image.pixel(x, y);
                    const bool inBar = x < barEnd;
                    const bool isText = p == (inBar ? white : fore.rgb());
                    if (!isText && p != (inBar ? barColour.rgb() : back.rgb()))
                        QFAIL(qPrintable(QStringLiteral("%1 %: pixel (%2, %3) is %4")
                                             .arg(percent).arg(x).arg(y).arg(p, 8, 16)));
                    if (isText) {
                        textLeft = qMin(textLeft, x);
                        textRight = qMax(textRight, x);
                        (inBar ? underBar : beside) += 1;
                    }
                }
            }
            QVERIFY2(textRight >= 0, "no text");
            // Centred: the margins differ by no more than a glyph's side bearings.
            QVERIFY2(qAbs(textLeft - (kWidth - 1 - textRight)) <= kHeight / 2,
                     qPrintable(QStringLiteral("%1 %: text from %2 to %3").arg(percent).arg(textLeft)
                                    .arg(textRight)));
            if (percent == 0)
                QCOMPARE(underBar, 0);
            if (percent == 50)
                QVERIFY2(underBar > 0 && beside > 0, "the bar's end does not split the text");
            if (percent == 100)
                QCOMPARE(beside, 0);
            textPixels[percent] = underBar + beside;
        }
        QVERIFY(textPixels[100] > textPixels[0]);
        // Below one half the percentage rounds to nothing: the same "%" as at 0.
        const QRect middle(kWidth / 4, 0, kWidth / 2, kHeight);
        QCOMPARE(painted(0.4, back, fore).copy(middle), painted(0, back, fore).copy(middle));
    }
};

QTEST_MAIN(TestBarPainter)
#include "test_bar_painter.moc"
