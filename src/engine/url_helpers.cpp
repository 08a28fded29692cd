#include "engine/url_helpers.h"

namespace {

QString splitUrl(QString &strUrl, QString *path)
{
    const int scheme = strUrl.indexOf(QStringLiteral("://"));
    if (scheme >= 0)
        strUrl = strUrl.mid(scheme + 3);

    QString host;
    QString rest;
    const int slash = strUrl.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        host = strUrl.left(slash);
        rest = strUrl.mid(slash);
    } else if (!strUrl.isEmpty()) {
        host = strUrl;
        rest = QStringLiteral("/");
    }
    if (path)
        *path = rest;
    return host;
}

} // namespace

QString Extract_URL(QString &strUrl, QString *path)
{
    return splitUrl(strUrl, path);
}

QString Extract_URL2(QString &strUrl, QString *path)
{
    return splitUrl(strUrl, path);
}

QString Extract_FileName(const QString &text)
{
    const int slash = text.lastIndexOf(QLatin1Char('/'));
    return slash >= 0 ? text.mid(slash + 1) : text;
}

QString Base_Name(const QString &fileName)
{
    const int dot = fileName.indexOf(QLatin1Char('.'));
    return dot >= 0 ? fileName.left(dot) : QString();
}

bool Is_Safe_Name(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String(".."))
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'/' || u == u'\\' || u < 0x20 || u == 0x7f)
            return false;
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}
