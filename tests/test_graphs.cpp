// The view's painters: the progress bars, the speed graphs and the graphs' JPG snapshots.
#include "view/bar_painter.h"
#include "view/graph_painter.h"
#include "view/jpg_export.h"

#include <QImageReader>
#include <QtTest>

using namespace JpgExport;

// White back, the default column colour &H8080FF, and a line colour whose AND with the columns differs from both.
const QColor kBack = Qt::white, kColumn(255, 128, 128), kModem(15, 240, 60), kBoth(15, 128, 0);

static QStringList samples(std::initializer_list<std::pair<int, const char *>> set)
{
    QStringList list(50, QStringLiteral("0"));
    for (const auto &[i, v] : set)
        list[i] = QString::fromLatin1(v);
    return list;
}

static void check(std::initializer_list<std::tuple<const QImage *, int, int, QColor>> pixels)
{
    for (const auto &[image, x, y, colour] : pixels) // stops at the first wrong pixel
        QVERIFY2(image->pixel(x, y) == colour.rgb(), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
}

// A bar's size. The text's shape depends on the installed fonts: the checks rely on where it may be (centred) and
// on the colours a pixel may take.
constexpr int kWidth = 200, kHeight = 18;

static QImage painted(double percent, const QColor &back, const QColor &fore,
                      QImage::Format format = QImage::Format_RGB32)
{
    QImage image(kWidth, kHeight, format);
    image.fill(Qt::black);
    Dessine_Barre(image, percent, back, fore);
    return image;
}

class TestGraphs : public QObject
{
    Q_OBJECT

private slots:
    // Catches red and blue swapped in the packed colours, a plain fill instead of NOT(fore XOR back), a bar of the
    // wrong length, text off centre or not inverted under the bar, "0%" instead of "%", and formats the raster
    // operations do not handle painted differently.
    void bar()
    {
        // Background, fore colour (both packed), the bar colour they give; the defaults first (red main, pink slots).
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
                        QFAIL(qPrintable(QStringLiteral("%1 %: pixel (%2, %3)").arg(percent).arg(x).arg(y)));
                    textLeft = isText ? qMin(textLeft, x) : textLeft;
                    textRight = isText ? qMax(textRight, x) : textRight;
                    (inBar ? underBar : beside) += isText;
                }
                // Centred: the margins differ by no more than a glyph's side bearings.
                QVERIFY(textRight >= 0 && qAbs(textLeft - (kWidth - 1 - textRight)) <= kHeight / 2);
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

    // Catches a wrong scale, line row or thickness, no mask pen, drawing at a 0 sample, leaks, drawFinal's offset.
    void graphPixels()
    {
        const GraphPainter::Style style{kBack, kColumn, kModem, true, 56};
        const QStringList imm = samples({{3, "20"}, {10, "60"}, {20, "abc"}, {47, "10"}, {49, "100"}});
        const QStringList avg = samples({{3, "40"}, {5, "30"}, {47, "5"}});
        QImage a(100, 84, QImage::Format_RGB32), i(100, 84, QImage::Format_RGB888);
        GraphPainter::draw(&a, &i, avg, imm, style);
        // M = 56: 84 units on 84 rows, 2 pixels a position; the line is row 28 alone.
        check({{&i, 7, 64, kColumn}, {&i, 6, 63, kBack}, {&i, 6, 28, kModem}, {&i, 6, 27, kBack}, {&i, 6, 29, kBack},
               {&i, 21, 24, kColumn}, {&i, 21, 23, kBack}, {&i, 20, 28, kBoth}, {&i, 99, 0, kColumn},
               {&i, 8, 28, kBack}, {&i, 22, 83, kBack}, {&i, 40, 28, kBack}, {&i, 41, 83, kBack}, {&a, 6, 44, kColumn},
               {&a, 6, 43, kBack}, {&a, 6, 28, kModem}, {&a, 20, 28, kModem}, {&a, 20, 83, kBack}, {&a, 10, 83, kBack}});
        // M = 512: 768 units on 768 rows, 1 pixel a position; the line's box spans rows 256 to 257.
        QImage big(50, 768, QImage::Format_RGB32);
        GraphPainter::draw(nullptr, &big, {}, samples({{0, "100"}, {2, "600"}}), {kBack, kColumn, kModem, true, 512});
        check({{&big, 0, 255, kBack}, {&big, 0, 256, kModem}, {&big, 0, 257, kModem}, {&big, 0, 258, kBack},
               {&big, 0, 668, kColumn}, {&big, 0, 667, kBack}, {&big, 1, 256, kBack}, {&big, 1, 767, kBack},
               {&big, 2, 168, kColumn}, {&big, 2, 257, kBoth}});
        // The last three samples (47 to 49) from the left edge; none drawn at 0 traces.
        GraphPainter::drawFinal(&a, &i, avg, imm, style, 3);
        check({{&i, 0, 74, kColumn}, {&i, 0, 73, kBack}, {&i, 2, 28, kBack}, {&i, 5, 0, kColumn}, {&i, 99, 83, kBack},
               {&a, 1, 79, kColumn}, {&a, 1, 78, kBack}, {&a, 1, 28, kModem}});
        GraphPainter::drawFinal(&a, &i, avg, imm, style, 0);
        QImage blank(100, 84, QImage::Format_RGB32);
        blank.fill(kBack);
        QVERIFY(a == blank && i.convertToFormat(QImage::Format_RGB32) == blank);
    }

    // Catches a file not a JPG of the picture, an overwrite losing its mtime or mode, silent failures.
    void jpg()
    {
        QImage picture(50, 40, QImage::Format_RGB32);
        picture.fill(Qt::red);
        // Red minus blue at the middle of the picture: about 255 for red, -255 for blue.
        const auto redness = [](const QString &f) { const QRgb p = QImage(f).pixel(25, 20); return qRed(p) - qBlue(p); };

        QTemporaryDir dir;
        const QString path = dir.filePath("graph(1_0).jpg");
        QString error;
        QVERIFY2(saveSnapshot(picture, path, &error), qPrintable(error));
        QVERIFY(QImageReader(path).format() == "jpeg" && QImage(path).size() == QSize(50, 40));
        QVERIFY(redness(path) > 200);

        const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.setFileTime(old, QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QFile::Permissions permissions = QFile::permissions(path);
        picture.fill(Qt::blue);
        QVERIFY2(saveSnapshot(picture, path, &error), qPrintable(error));
        QVERIFY(redness(path) < -200);
        QVERIFY(QFileInfo(path).lastModified() == old && QFile::permissions(path) == permissions);

        // A missing folder, a folder in the file's place, a read-only folder (not for the superuser).
        QVERIFY(QDir(dir.path()).mkdir("dir.jpg") && QDir(dir.path()).mkdir("ro"));
        QVERIFY(QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner));
        const bool readOnly = !QFileInfo(dir.filePath("ro")).isWritable();
        for (const QString name : {"missing/g.jpg", "dir.jpg", readOnly ? "ro/g.jpg" : "missing/h.jpg"}) {
            QString failure;
            QVERIFY(!saveSnapshot(picture, dir.filePath(name), &failure));
            QVERIFY2(failure.contains("26001") && failure.contains("Failed to save to JPG "), qPrintable(failure));
            QVERIFY(!QFileInfo(dir.filePath(name)).isFile());
        }
    }
};

QTEST_MAIN(TestGraphs)
#include "test_graphs.moc"
