#include "options/option_values.h"

#include "core/settings.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QUrl>

#include <cmath>

OptionValues OptionValues::load()
{
    OptionValues v;
    v.filePath = Settings::filePathSetting();
    v.packSize = Settings::readInt(QStringLiteral("packsize"), v.packSize);
    v.modemSpeed = Settings::read(QStringLiteral("modemspeed"), v.modemSpeed);
    v.showModem = Settings::readInt(QStringLiteral("ShowModem"), v.showModem) != 0;
    v.mainBarreBack = Settings::readInt(QStringLiteral("mainbarreback"), v.mainBarreBack);
    v.secBarreBack = Settings::readInt(QStringLiteral("secbarreback"), v.secBarreBack);
    v.mainBarreFor = Settings::readInt(QStringLiteral("mainbarrefor"), v.mainBarreFor);
    v.secBarreFor = Settings::readInt(QStringLiteral("secbarrefor"), v.secBarreFor);
    v.graphBack = Settings::readInt(QStringLiteral("graphback"), v.graphBack);
    v.graphFor = Settings::readInt(QStringLiteral("graphfor"), v.graphFor);
    v.graphModem = Settings::readInt(QStringLiteral("graphmodem"), v.graphModem);
    v.proxy = Settings::proxy();
    return v;
}

void OptionValues::save(const OptionValues &v)
{
    Settings::write(QStringLiteral("FilePath"), v.filePath);
    if (isOfferedPackSize(v.packSize))
        Settings::write(QStringLiteral("packsize"), v.packSize);
    Settings::write(QStringLiteral("modemspeed"), v.modemSpeed);
    Settings::write(QStringLiteral("mainbarreback"), v.mainBarreBack);
    Settings::write(QStringLiteral("secbarreback"), v.secBarreBack);
    Settings::write(QStringLiteral("mainbarrefor"), v.mainBarreFor);
    Settings::write(QStringLiteral("secbarrefor"), v.secBarreFor);
    Settings::write(QStringLiteral("graphback"), v.graphBack);
    Settings::write(QStringLiteral("graphfor"), v.graphFor);
    Settings::write(QStringLiteral("graphmodem"), v.graphModem);
    Settings::write(QStringLiteral("ShowModem"), v.showModem ? 1 : 0);
    Settings::write(QStringLiteral("Proxy"), v.proxy);
    // The file keeps its permissions when it is written again.
    if (!QUrl(v.proxy.contains(QLatin1String("://")) ? v.proxy : QStringLiteral("http://") + v.proxy).password().isEmpty())
        QFile::setPermissions(Settings::filePath(), QFile::ReadOwner | QFile::WriteOwner);
}

bool OptionValues::isOfferedPackSize(qint64 bytes)
{
    return bytes == Pack500Kb || bytes == Pack1Mb || bytes == Pack2Mb;
}

namespace {
bool parseNumber(const QString &text, double *out)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool ok = false;
    double v = QLocale().toDouble(t, &ok);
    if (!ok)
        v = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(v)) // "inf" and "nan" are no line speed
        return false;
    if (out)
        *out = v;
    return true;
}
} // namespace

bool OptionValues::isNumeric(const QString &text)
{
    return parseNumber(text, nullptr);
}

double OptionValues::numberIn(const QString &text)
{
    double v = 0;
    if (parseNumber(text, &v))
        return v;
    static const QRegularExpression lead(QStringLiteral("^\\s*[+-]?(\\d+(\\.\\d*)?|\\.\\d+)"));
    const QRegularExpressionMatch m = lead.match(text);
    if (m.hasMatch())
        return QLocale::c().toDouble(m.captured(0).trimmed());
    return 0;
}
