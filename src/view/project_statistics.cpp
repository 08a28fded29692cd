#include "view/project_statistics.h"

#include "core/text_file.h"

#include <QDir>

ProjectStatistics ProjectStatistics::fromText(const QByteArray &text)
{
    QByteArray rest = text;
    auto cut = [&rest](const QByteArray &key) {
        const qsizetype at = rest.indexOf(key);
        if (at < 0)
            return QString();
        rest = rest.mid(at + key.size());
        const qsizetype end = rest.indexOf("\r\n");
        return end < 0 ? QString() : QString::fromUtf8(rest.left(end));
    };
    ProjectStatistics s;
    s.time = cut("Time:");
    s.highest = cut("Hspeed:");
    s.lowest = cut("Lspeed:");
    s.average = cut("Mspeed:");
    return s;
}

ProjectStatistics ProjectStatistics::read(const QString &folder)
{
    return fromText(TextFile::read(QDir(folder).filePath(QStringLiteral("stats.zov"))));
}

QStringList ProjectStatistics::orderSnapshots(const QStringList &names, int graph)
{
    const QString mark = QStringLiteral("(%1_").arg(graph);
    QStringList found;
    for (const QString &name : names) {
        // A name carrying both marks belongs to the first graph.
        if (name.contains(mark) && (graph == 1 || !name.contains(QLatin1String("(1_"))))
            found.append(name);
    }
    // A folder lists "10" before "2": the number, not the listing, gives the
    // place. A number past the count has no place and is left out.
    QStringList ordered(found.size(), QStringLiteral(" "));
    for (const QString &name : found) {
        const qsizetype from = name.indexOf(mark) + mark.size();
        const qsizetype to = name.indexOf(QLatin1Char(')'), from);
        bool ok = false;
        const int n = to < 0 ? -1 : name.mid(from, to - from).toInt(&ok);
        if (ok && n >= 0 && n < ordered.size())
            ordered[n] = name;
    }
    return ordered;
}

QStringList ProjectStatistics::snapshots(const QString &folder, int graph)
{
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
    return orderSnapshots(names, graph);
}
