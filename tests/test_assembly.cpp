// Joining pack files into the finished file.
#include "engine/final_assembler.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class TestAssembly : public QObject
{
    Q_OBJECT
private:
    static QByteArray randomBytes(qint64 n)
    {
        QByteArray b(n, Qt::Uninitialized);
        QRandomGenerator gen(n);
        for (qint64 i = 0; i < n; ++i)
            b[i] = char(gen.bounded(256));
        return b;
    }

    // Cuts data into pack files the way the slots leave them.
    static FinalAssembler::Input split(const QString &dir, const QByteArray &data, qint64 P)
    {
        FinalAssembler::Input in;
        in.folder = dir + "/dl/";
        in.baseName = "setup";
        in.destination = dir + "/setup.exe";
        in.packSize = P;
        in.packCount = data.size() / P + (data.size() % P ? 1 : 0);
        in.lastSize = data.size() % P;
        QDir().mkpath(in.folder);
        for (qint64 k = 0; k < in.packCount; ++k) {
            QFile f(FinalAssembler::packFilePath(in.folder, in.baseName, k));
            if (!f.open(QIODevice::WriteOnly))
                qFatal("cannot write pack");
            f.write(data.mid(k * P, P));
        }
        return in;
    }

    static QByteArray fileBytes(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private slots:
    void joinsPacksInOrder_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("packSize");
        QTest::newRow("2P+R") << qint64(1048576) << qint64(512000);
        QTest::newRow("exact multiple") << qint64(3 * 4096) << qint64(4096);
        QTest::newRow("smaller than P") << qint64(100) << qint64(512000);
        QTest::newRow("one byte") << qint64(1) << qint64(7);
        QTest::newRow("many packs") << qint64(100003) << qint64(1000);
    }

    void joinsPacksInOrder()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, packSize);
        QTemporaryDir dir;
        const QByteArray data = randomBytes(size);
        FinalAssembler::Input in = split(dir.path(), data, packSize);
        // An earlier file of the same name is replaced.
        QFile old(in.destination);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older download that must go");
        old.close();
        QList<qint64> incomplete{-1};
        QVERIFY(FinalAssembler::assemble(in, &incomplete));
        QVERIFY(incomplete.isEmpty());
        QCOMPARE(QCryptographicHash::hash(fileBytes(in.destination), QCryptographicHash::Sha256),
                 QCryptographicHash::hash(data, QCryptographicHash::Sha256));
        // Nothing is left in the download folder: no pack, no work file.
        QCOMPARE(QDir(in.folder).entryList(QDir::Files), QStringList());
    }

    void shortOrMissingPackChangesNothing()
    {
        QTemporaryDir dir;
        const QByteArray data = randomBytes(5 * 1000 + 10);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        // Pack 2 lost its tail, pack 4 is gone.
        QFile p2(FinalAssembler::packFilePath(in.folder, in.baseName, 2));
        QVERIFY(p2.resize(999));
        QVERIFY(QFile::remove(FinalAssembler::packFilePath(in.folder, in.baseName, 4)));
        QList<qint64> incomplete;
        QString error;
        QVERIFY(!FinalAssembler::assemble(in, &incomplete, &error));
        QCOMPARE(incomplete, QList<qint64>({2, 4}));
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFile::exists(in.destination));
        QVERIFY(!QFile::exists(in.folder + "final.zov"));
        // The packs that were whole are still there, untouched.
        QCOMPARE(fileBytes(FinalAssembler::packFilePath(in.folder, in.baseName, 0)), data.mid(0, 1000));
        QCOMPARE(fileBytes(FinalAssembler::packFilePath(in.folder, in.baseName, 5)), data.mid(5000));
    }

    void longerPackFileContributesItsPackOnly()
    {
        // A pack file holding a byte past its pack (as a server that sent more
        // could leave it) still gives exactly the file.
        QTemporaryDir dir;
        const QByteArray data = randomBytes(2500);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        QFile p0(FinalAssembler::packFilePath(in.folder, in.baseName, 0));
        QVERIFY(p0.open(QIODevice::Append));
        p0.write("XYZ");
        p0.close();
        QFile p1(FinalAssembler::packFilePath(in.folder, in.baseName, 1));
        QVERIFY(p1.open(QIODevice::Append));
        p1.write("Q");
        p1.close();
        QVERIFY(FinalAssembler::assemble(in, nullptr));
        QCOMPARE(fileBytes(in.destination), data);
    }

    void packsJoinedWhileDownloading_data()
    {
        QTest::addColumn<int>("joinedBefore");   // packs joined one by one first
        QTest::addColumn<int>("claimed");        // what the end is told is joined
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("some") << 3 << 3;
        QTest::newRow("all") << 6 << 6;
        // A count that disagrees with the work file makes the end join it all again.
        QTest::newRow("count too high") << 2 << 4;
        QTest::newRow("count too low") << 4 << 1;
    }

    void packsJoinedWhileDownloading()
    {
        QFETCH(int, joinedBefore);
        QFETCH(int, claimed);
        QTemporaryDir dir;
        const QByteArray data = randomBytes(5 * 1000 + 77);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        // A work file left by an earlier run is replaced, not appended to.
        QFile stale(FinalAssembler::workFilePath(in));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("stale");
        stale.close();
        for (int k = 0; k < joinedBefore; ++k)
            QVERIFY(FinalAssembler::joinNext(in, k));
        QCOMPARE(QFileInfo(FinalAssembler::workFilePath(in)).size(),
                 joinedBefore ? FinalAssembler::joinedBytes(in, joinedBefore) : qint64(5));
        // The pack files stay until the end: a pause or restart loses nothing.
        QVERIFY(QFile::exists(FinalAssembler::packFilePath(in.folder, in.baseName, 0)));
        QVERIFY(FinalAssembler::assemble(in, nullptr, nullptr, claimed));
        QCOMPARE(fileBytes(in.destination), data);
        QCOMPARE(QDir(in.folder).entryList(QDir::Files), QStringList());
    }

    void joinNextRefusesWhatItCannotTrust()
    {
        QTemporaryDir dir;
        const QByteArray data = randomBytes(3000);
        FinalAssembler::Input in = split(dir.path(), data, 1000);
        QVERIFY(!FinalAssembler::joinNext(in, 1));   // work file does not hold pack 0
        QFile p1(FinalAssembler::packFilePath(in.folder, in.baseName, 1));
        QVERIFY(p1.resize(10));
        QVERIFY(FinalAssembler::joinNext(in, 0));
        QVERIFY(!FinalAssembler::joinNext(in, 1));   // pack 1 is short
        QCOMPARE(QFileInfo(FinalAssembler::workFilePath(in)).size(), qint64(1000));
        QVERIFY(!FinalAssembler::joinNext(in, 3));   // no such pack
    }

    void emptyFile()
    {
        QTemporaryDir dir;
        FinalAssembler::Input in;
        in.folder = dir.path() + "/dl/";
        QDir().mkpath(in.folder);
        in.baseName = "empty";
        in.destination = dir.path() + "/empty.txt";
        in.packSize = 512000;
        QVERIFY(FinalAssembler::assemble(in, nullptr));
        QVERIFY(QFile::exists(in.destination));
        QCOMPARE(QFileInfo(in.destination).size(), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestAssembly)
#include "test_assembly.moc"
