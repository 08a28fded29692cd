#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

// What a finished project leaves for later review: the four figures of its
// statistics file "stats.zov" and the JPG snapshots of its two speed graphs,
// "<base>(1_<n>).jpg" (average speed) and "<base>(2_<n>).jpg" (immediate speed).
struct ProjectStatistics
{
    // Each figure as written, both units and the " | " between them kept.
    QString time;
    QString highest;
    QString lowest;
    QString average;

    // The figures of a statistics file's text: the text after each of "Time:",
    // "Hspeed:", "Lspeed:", "Mspeed:" up to the next CR LF, each key searched
    // after the previous one. A key or line end that is missing leaves its
    // figure empty.
    static ProjectStatistics fromText(const QByteArray &text);
    // The figures of folder/stats.zov; all empty when the file is missing.
    static ProjectStatistics read(const QString &folder);

    // The snapshot names of graph 1 or 2 found among names, ordered by their
    // number <n>: the list has one entry per snapshot found, and entry n holds
    // the snapshot numbered n. An entry no snapshot fills (numbers missing or out
    // of range) stays a single space.
    static QStringList orderSnapshots(const QStringList &names, int graph);
    // The same for the "*.jpg" files of folder.
    static QStringList snapshots(const QString &folder, int graph);
};
