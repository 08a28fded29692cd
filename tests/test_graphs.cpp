#include "display/graph_painter.h"
#include "display/jpg_export.h"

#include <QImageReader>
#include <QtTest>

using namespace JpgExport;

// White back, the default column colour &H8080FF, and a line colour whose AND
// with the columns differs from both.
const QColor kBack = Qt::white, kColumn(255, 128, 128), kModem(15, 240, 60), kBoth(15, 128, 0);

static QStringList samples(const QMap<int, QString> &set)
{
    QStringList list(50, QStringLiteral("0"));
    for (auto it = set.begin(); it != set.end(); ++it)
        list[it.key()] = it.value();
    return list;
}

static bool near(QRgb a, const QColor &b)
{
    return qAbs(qRed(a) - b.red()) < 24 && qAbs(qGreen(a) - b.green()) < 24 && qAbs(qBlue(a) - b.blue()) < 24;
}

class TestGraphs : public QObject
{
    Q_OBJECT

private slots:
    // Catches a wrong vertical range or line row, a line of the wrong thickness,
    // a plain copy instead of the mask pen, columns or line pieces where the
    // immediate sample is 0, text that is not a number drawn, leaks into the
    // next position, and drawFinal not starting at the left edge.
    void graphPixels()
    {
        const GraphPainter::Style style{kBack, kColumn, kModem, true, 56};
        const QStringList imm = samples({{3, "20"}, {10, "60"}, {20, "abc"}, {47, "10"}, {49, "100"}});
        const QStringList avg = samples({{3, "40"}, {5, "30"}, {47, "5"}});
        QImage a(100, 84, QImage::Format_RGB32), i(100, 84, QImage::Format_RGB888);
        GraphPainter::draw(&a, &i, avg, imm, style);
        // M = 56: 84 units on 84 rows, 2 pixels a position; the line is row 28 alone.
        const std::tuple<QImage *, int, int, QColor> m56[] = {
            {&i, 7, 64, kColumn}, {&i, 6, 63, kBack}, {&i, 6, 28, kModem}, {&i, 6, 27, kBack}, {&i, 6, 29, kBack},
            {&i, 21, 24, kColumn}, {&i, 21, 23, kBack}, {&i, 20, 28, kBoth}, {&i, 99, 0, kColumn},
            {&i, 8, 28, kBack}, {&i, 22, 83, kBack}, {&i, 40, 28, kBack}, {&i, 41, 83, kBack},
            {&a, 6, 44, kColumn}, {&a, 6, 43, kBack}, {&a, 6, 28, kModem}, {&a, 20, 28, kModem},
            {&a, 20, 83, kBack}, {&a, 10, 83, kBack}};
        for (const auto &[image, x, y, colour] : m56)
            QVERIFY2(image->pixel(x, y) == colour.rgb(), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));

        // M = 512: 768 units on 768 rows, one pixel a position; the line's box
        // runs from row 256 to 257.
        QImage big(50, 768, QImage::Format_RGB32);
        GraphPainter::draw(nullptr, &big, {}, samples({{0, "100"}, {2, "600"}}), {kBack, kColumn, kModem, true, 512});
        for (const auto &[x, y, colour] : {std::tuple{0, 255, kBack}, {0, 256, kModem}, {0, 257, kModem},
                                           {0, 258, kBack}, {0, 668, kColumn}, {0, 667, kBack}, {1, 256, kBack},
                                           {1, 767, kBack}, {2, 168, kColumn}, {2, 257, kBoth}})
            QVERIFY2(big.pixel(x, y) == colour.rgb(), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));

        // The last three samples (47 to 49) from the left edge; none drawn at 0 traces.
        GraphPainter::drawFinal(&a, &i, avg, imm, style, 3);
        for (const auto &[image, x, y, colour] : {std::tuple{&i, 0, 74, kColumn}, {&i, 0, 73, kBack},
                                                  {&i, 2, 28, kBack}, {&i, 5, 0, kColumn}, {&i, 99, 83, kBack},
                                                  {&a, 1, 79, kColumn}, {&a, 1, 78, kBack}, {&a, 1, 28, kModem}})
            QVERIFY2(image->pixel(x, y) == colour.rgb(), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        GraphPainter::drawFinal(&a, &i, avg, imm, style, 0);
        QImage blank(100, 84, QImage::Format_RGB32);
        blank.fill(kBack);
        QCOMPARE(a, blank);
        QCOMPARE(i, blank.convertToFormat(QImage::Format_RGB888));
    }

    // Catches rows not padded to 4 bytes, a 32-bit bitmap handed to the encoder,
    // a file that is not a JPG of the picture, an overwrite that takes a new
    // modification time or permissions, and a failed write reported as success
    // or without error 26001.
    void jpg()
    {
        for (const auto &[width, bytes] : {std::pair{1, 4}, {3, 12}, {4, 12}, {50, 152}})
            QCOMPARE(BytesPerScanLine(width), bytes);
        QImage picture(50, 40, QImage::Format_RGB32);
        picture.fill(Qt::red);
        const cDIBSection dib(picture);
        QCOMPARE(dib.BytesPerScanLine(), 152);
        QCOMPARE(dib.bits().bytesPerLine(), 152);
        QCOMPARE(dib.bits().sizeInBytes(), qsizetype(152 * 40));

        QTemporaryDir dir;
        const QString path = dir.filePath("graph(1_0).jpg");
        QString error;
        QVERIFY2(saveSnapshot(picture, path, &error), qPrintable(error));
        QCOMPARE(QImageReader(path).format(), QByteArray("jpeg"));
        QImage back(path);
        QCOMPARE(back.size(), QSize(50, 40));
        QVERIFY(near(back.pixel(25, 20), Qt::red));

        const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.setFileTime(old, QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QFile::Permissions permissions = QFile::permissions(path);
        picture.fill(Qt::blue);
        QVERIFY2(saveSnapshot(picture, path, &error), qPrintable(error));
        QVERIFY(near(QImage(path).pixel(25, 20), Qt::blue));
        QCOMPARE(QFileInfo(path).lastModified().toUTC(), old);
        QCOMPARE(QFile::permissions(path), permissions);

        // A missing folder, a folder in the file's place, a read-only folder.
        QVERIFY(QDir(dir.path()).mkdir("dir.jpg") && QDir(dir.path()).mkdir("ro"));
        QVERIFY(QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner));
        for (const QString name : {"missing/g.jpg", "dir.jpg", "ro/g.jpg"}) {
            if (name.startsWith("ro") && QFileInfo(dir.filePath("ro")).isWritable())
                continue; // the superuser writes into a read-only folder
            error.clear();
            QVERIFY(!saveSnapshot(picture, dir.filePath(name), &error));
            QVERIFY2(error.contains("26001") && error.contains("Failed to save to JPG "), qPrintable(error));
            QVERIFY(!QFileInfo(dir.filePath(name)).isFile());
        }
        QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_MAIN(TestGraphs)
#include "test_graphs.moc"
