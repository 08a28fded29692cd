#include "view/display_model.h"

#include "core/settings.h"
#include "view/bar_painter.h"

namespace {
const QString kProduct = QStringLiteral("ZOV Kestra Download");
}

DisplayModel::DisplayModel(QObject *parent)
    : QObject(parent)
    , m_caption(kProduct)
{
    for (const QString &name : barNames()) {
        Bar b;
        b.fore = colorFromPacked(name == QLatin1String("Barre") ? Settings::Default::mainBarFore : Settings::Default::slotBarFore);
        m_bars.insert(name, b);
    }
    resetLabels();
    m_labels.insert(QStringLiteral("Cmd_Action"), QStringLiteral("Pause"));
}

QStringList DisplayModel::barNames()
{
    return {QStringLiteral("Barre"), QStringLiteral("Barre1"), QStringLiteral("Barre2"),
            QStringLiteral("Barre3"), QStringLiteral("Barre4")};
}

void DisplayModel::setLabel(const QString &name, const QString &text)
{
    auto it = m_labels.find(name);
    if (it != m_labels.end() && *it == text)
        return;
    m_labels.insert(name, text);
    emit labelChanged(name, text);
    if (name == QLatin1String("Lbl_Vitesse_M"))
        setLabel(QStringLiteral("Lbl_Vitesse_MM"), text);
}

const DisplayModel::Bar &DisplayModel::bar(const QString &name) const
{
    static const Bar none;
    auto it = m_bars.constFind(name);
    return it == m_bars.constEnd() ? none : *it;
}

void DisplayModel::clearBar(const QString &name)
{
    Bar &b = m_bars[name];
    b.painted = false;
    b.percent = 0;
    emit barChanged(name);
}

void DisplayModel::paintBar(const QString &name, double percent)
{
    Bar &b = m_bars[name];
    if (b.painted && b.percent == percent)
        return;
    b.painted = true;
    b.percent = percent;
    emit barChanged(name);
}

void DisplayModel::setBarColors(const QString &name, const QColor &back, const QColor &fore)
{
    Bar &b = m_bars[name];
    b.back = back;
    b.fore = fore;
    emit barChanged(name);
}

void DisplayModel::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    emit captionChanged(caption);
}

void DisplayModel::resetLabels()
{
    static const QList<QPair<QString, QString>> idle = {
        {QStringLiteral("Lbl_Time"), QStringLiteral("00:00:00")},
        {QStringLiteral("Lbl_Taille"), QStringLiteral("0 Bytes")},
        {QStringLiteral("Lbl_Taille2"), QStringLiteral("0 Bytes")},
        {QStringLiteral("Lbl_Time_R"), QStringLiteral("00:00:00")},
        {QStringLiteral("Lbl_Vitesse_MM"), QStringLiteral("0.00 Kb/s")},
        {QStringLiteral("Lbl_Paquet"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Paquet_2"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Vitesse_M"), QStringLiteral("0.00 Kb/s")},
        {QStringLiteral("Lbl_Vitesse_M2"), QStringLiteral("0.0 Kbits/s")},
        {QStringLiteral("Lbl_Vitesse_I"), QStringLiteral("0.00 Kb/s")},
        {QStringLiteral("Lbl_Vitesse_I2"), QStringLiteral("0.0 Kbits/s")},
        // Nothing runs: no slot and no download is at work.
        {QStringLiteral("Lbl_Status_w1"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Status_w2"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Status_w3"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Status_w4"), QStringLiteral("Nothing")},
        {QStringLiteral("Lbl_Status_B"), QStringLiteral("Nothing")},
    };
    for (const auto &[name, text] : idle)
        setLabel(name, text);
}
