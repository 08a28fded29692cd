#pragma once
#include <QColor>
#include <QHash>
#include <QObject>
#include <QString>

// What the download frames show, held outside the windows so that the engine can
// run without a screen. Texts are kept by the name of the control that shows them
// ("Lbl_Status_w1", "Lbl_Paquet", ...); bars by the name of their picture box
// ("Barre", "Barre1" .. "Barre4"). The main window mirrors every change.
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

    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

    // The labels of the download display in their idle state.
    void resetLabels();

    static QStringList barNames();

signals:
    void labelChanged(const QString &name, const QString &text);
    void barChanged(const QString &name);
    void captionChanged(const QString &caption);

private:
    QHash<QString, QString> m_labels;
    QHash<QString, Bar> m_bars;
    QString m_caption;
};
