#pragma once
#include <QColor>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>

// What the download frames show, held by the DownloadView outside the windows so
// that zov-kestra-get keeps the same without a screen. Texts are kept by the
// name of the control that shows them ("Lbl_Status_w1", "Lbl_Paquet", ...);
// bars by the name of their picture box ("Barre", "Barre1" .. "Barre4"). The
// main window mirrors every change.
class DisplayModel : public QObject
{
    Q_OBJECT
public:
    struct Bar {
        double percent = 0;  // last percentage painted
        bool painted = false; // false after a clear: the picture is background only
        QColor back = Qt::white;
        QColor fore = Qt::red;
    };

    explicit DisplayModel(QObject *parent = nullptr);

    QString label(const QString &name) const { return m_labels.value(name); }
    // Sets a text; the average speed "Lbl_Vitesse_M" is mirrored into the
    // "Speed:" value "Lbl_Vitesse_MM" of the download frame.
    void setLabel(const QString &name, const QString &text);

    const Bar &bar(const QString &name) const;
    void clearBar(const QString &name);
    void paintBar(const QString &name, double percent);
    void setBarColors(const QString &name, const QColor &back, const QColor &fore);

    // The two speed graphs: "Graph" the average speed, "Graph2" the immediate
    // speed. SpeedGraphs draws into them and calls graphsDrawn().
    static constexpr int GraphWidth = 300;
    static constexpr int GraphHeight = 70;
    QImage &graph(const QString &name) { return name == QLatin1String("Graph2") ? m_graph2 : m_graph; }
    void graphsDrawn() { emit graphsChanged(); }

    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

    // The labels of the download display in their idle state.
    void resetLabels();

    static QStringList barNames();

signals:
    void labelChanged(const QString &name, const QString &text);
    void barChanged(const QString &name);
    void captionChanged(const QString &caption);
    void graphsChanged();

private:
    QHash<QString, QString> m_labels;
    QHash<QString, Bar> m_bars;
    QString m_caption;
    QImage m_graph{GraphWidth, GraphHeight, QImage::Format_RGB32};
    QImage m_graph2{GraphWidth, GraphHeight, QImage::Format_RGB32};
};
