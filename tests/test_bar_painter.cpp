#include "display/bar_painter.h"

#include <QtTest>

// The bars are read back pixel by pixel. The text's exact shape depends on the
// installed fonts, so the checks only rely on where the text may be (centred)
// and on which colours a pixel may take.
class TestBarPainter : public QObject
{
    Q_OBJECT

private slots:
    void packedColours();
    void bar_data();
    void bar();
    void textGrowsWithThePercentage_data();
    void textGrowsWithThePercentage();
    void otherImageFormatsAreKept();
};

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 18;

QRgb opaque(QRgb rgb)
{
    return rgb | 0xFF000000u;
}

// What not-XOR-pen leaves of fore drawn over dest.
QRgb notXor(const QColor &fore, QRgb dest)
{
    return opaque(~(fore.rgb() ^ dest) & 0x00FFFFFFu);
}

QImage painted(double percent, const QColor &back, const QColor &fore,
               QImage::Format format = QImage::Format_RGB32)
{
    QImage image(kWidth, kHeight, format);
    image.fill(Qt::black);
    Dessine_Barre(image, percent, back, fore);
    return image;
}

int count(const QImage &image, QRgb colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += opaque(image.pixel(x, y)) == colour;
    return n;
}

void addColourRows()
{
    QTest::addColumn<qint64>("backPacked");
    QTest::addColumn<qint64>("forePacked");
    // The defaults of the options: white background, red main bar, pink slot bars.
    QTest::newRow("main bar") << qint64(16777215) << qint64(255);
    QTest::newRow("slot bar") << qint64(16777215) << qint64(8421631);
    // On a white background the bar has the fore colour itself; a coloured
    // background shows the raster operation for what it is.
    QTest::newRow("coloured background") << qint64(0x996633) << qint64(0x55AA00);
}

} // namespace

void TestBarPainter::packedColours()
{
    QCOMPARE(colorFromPacked(255), QColor(255, 0, 0));
    QCOMPARE(colorFromPacked(16777215), QColor(255, 255, 255));
    QCOMPARE(colorFromPacked(8421631), QColor(255, 128, 128));
    QCOMPARE(colorFromPacked(0x0A141E), QColor(0x1E, 0x14, 0x0A));
    QCOMPARE(packedFromColor(QColor(1, 2, 3)), qint64(3 * 65536 + 2 * 256 + 1));
    QCOMPARE(packedFromColor(QColor(0, 0, 255)), qint64(16711680));
    for (qint64 packed : {qint64(0), qint64(255), qint64(8421631), qint64(16777215), qint64(0x123456)})
        QCOMPARE(packedFromColor(colorFromPacked(packed)), packed);
}

void TestBarPainter::bar_data()
{
    addColourRows();
}

// At 0, 25, 50 and 100 %: left of the bar's end every pixel is the bar colour
// or white text, right of it the background or fore-coloured text; the text is
// centred and, at 50 %, split by the bar's end.
void TestBarPainter::bar()
{
    QFETCH(qint64, backPacked);
    QFETCH(qint64, forePacked);
    const QColor back = colorFromPacked(backPacked);
    const QColor fore = colorFromPacked(forePacked);
    const QRgb backRgb = opaque(back.rgb());
    const QRgb foreRgb = opaque(fore.rgb());
    const QRgb barRgb = notXor(fore, backRgb);
    const QRgb textUnderBar = notXor(fore, foreRgb);
    QCOMPARE(textUnderBar, opaque(0xFFFFFF));

    for (int percent : {0, 25, 50, 100}) {
        const QString context = QStringLiteral("%1 %").arg(percent);
        const QImage image = painted(percent, back, fore);
        const int barEnd = kWidth * percent / 100;
        int textLeft = kWidth, textRight = -1, underBar = 0, beside = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const QRgb p = opaque(image.pixel(x, y));
                const bool inBar = x < barEnd;
                const bool isText = inBar ? p == textUnderBar : p == foreRgb;
                if (!isText && p != (inBar ? barRgb : backRgb))
                    QFAIL(qPrintable(QStringLiteral("%1: pixel (%2, %3) is %4")
                                         .arg(context).arg(x).arg(y).arg(p, 8, 16)));
                if (isText) {
                    textLeft = qMin(textLeft, x);
                    textRight = qMax(textRight, x);
                    (inBar ? underBar : beside) += 1;
                }
            }
        }
        QVERIFY2(textRight >= 0, qPrintable(context + ": no text"));
        // Centred: the margins differ by no more than a glyph's side bearings.
        QVERIFY2(qAbs(textLeft - (kWidth - 1 - textRight)) <= kHeight / 2,
                 qPrintable(QStringLiteral("%1: text from %2 to %3").arg(context).arg(textLeft).arg(textRight)));
        if (percent == 0)
            QCOMPARE(underBar, 0);
        if (percent == 100)
            QCOMPARE(beside, 0);
        if (percent == 50) {
            QVERIFY2(underBar > 0 && beside > 0, "the bar's end does not split the text");
        }
    }
}

void TestBarPainter::textGrowsWithThePercentage_data()
{
    addColourRows();
}

// At 0 the text is "%" alone: fewer text pixels than "100%" shows.
void TestBarPainter::textGrowsWithThePercentage()
{
    QFETCH(qint64, backPacked);
    QFETCH(qint64, forePacked);
    const QColor back = colorFromPacked(backPacked);
    const QColor fore = colorFromPacked(forePacked);

    const int percentSign = count(painted(0, back, fore), opaque(fore.rgb()));
    const int hundred = count(painted(100, back, fore), opaque(0xFFFFFF));
    QVERIFY(percentSign > 0);
    QVERIFY2(hundred > percentSign, qPrintable(QStringLiteral("%1 text pixels at 100 %, %2 at 0 %")
                                                   .arg(hundred).arg(percentSign)));
    // Below one half the percentage rounds to nothing: the same "%" as at 0.
    const QImage almostZero = painted(0.4, back, fore);
    const QImage zero = painted(0, back, fore);
    QCOMPARE(almostZero.copy(kWidth / 4, 0, kWidth / 2, kHeight), zero.copy(kWidth / 4, 0, kWidth / 2, kHeight));
}

// Pictures in a format the raster operations do not handle (the 24-bit
// pictures of the export) come back in their own format with the same pixels.
void TestBarPainter::otherImageFormatsAreKept()
{
    const QColor back = colorFromPacked(0x996633);
    const QColor fore = colorFromPacked(0x55AA00);
    for (QImage::Format format : {QImage::Format_RGB888, QImage::Format_ARGB32,
                                  QImage::Format_ARGB32_Premultiplied}) {
        const QImage image = painted(50, back, fore, format);
        QCOMPARE(image.format(), format);
        QCOMPARE(image.convertToFormat(QImage::Format_RGB32), painted(50, back, fore));
    }
}

QTEST_MAIN(TestBarPainter)
#include "test_bar_painter.moc"
