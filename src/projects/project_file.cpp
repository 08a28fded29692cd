#include "projects/project_file.h"

#include "core/settings.h"

#include <QList>
#include <QPair>

namespace {

const QByteArray kCrLf("\r\n");
const QByteArray kStatusKey("status:");

void appendLine(QByteArray &out, const char *key, const QByteArray &value)
{
    out += key;
    out += value;
    out += kCrLf;
}

void appendLine(QByteArray &out, const char *key, qint64 value)
{
    appendLine(out, key, QByteArray::number(value));
}

// Reads the next field in file order: the search starts at *pos, and a field
// that is found moves *pos past its line. A missing field leaves *pos alone so
// that the fields after it are still found.
QString nextField(const QByteArray &text, const char *key, int *pos)
{
    int end = -1;
    const QString value = ProjectFile::field(text, QByteArray(key), *pos, &end);
    if (end >= 0)
        *pos = end;
    return value;
}

void readNumber(const QByteArray &text, const char *key, int *pos, qint64 *target)
{
    const QString value = nextField(text, key, pos);
    if (!value.isNull())
        *target = toInteger(value, *target);
}

void readNumber(const QByteArray &text, const char *key, int *pos, int *target)
{
    qint64 v = *target;
    readNumber(text, key, pos, &v);
    *target = int(v);
}

} // namespace

QByteArray ProjectFile::build(const ProjectRecord &r)
{
    QByteArray out;
    appendLine(out, "url:", r.url.toUtf8());
    appendLine(out, "bytes:", r.bytes);
    appendLine(out, "path:", r.path.toUtf8());
    appendLine(out, "packsize:", r.packsize);
    appendLine(out, "showmodem:", r.showmodem);
    appendLine(out, "bar1back:", r.bar1back);
    appendLine(out, "bar1for:", r.bar1for);
    appendLine(out, "bar2back:", r.bar2back);
    appendLine(out, "bar2for:", r.bar2for);
    appendLine(out, "graphback:", r.graphback);
    appendLine(out, "graphfor:", r.graphfor);
    appendLine(out, "graphmodem:", r.graphmodem);
    appendLine(out, "Type:", r.type);
    appendLine(out, "status:", r.status);
    return out;
}

ProjectRecord ProjectFile::fromSettings(const QString &url, qint64 bytes, bool ftp)
{
    ProjectRecord r;
    r.url = url;
    r.bytes = bytes;
    r.path = Settings::filePathSetting();
    r.packsize = Settings::packSize();
    r.showmodem = int(Settings::readInt(QStringLiteral("ShowModem"), r.showmodem));
    r.bar1back = Settings::readInt(QStringLiteral("mainbarreback"), r.bar1back);
    r.bar1for = Settings::readInt(QStringLiteral("mainbarrefor"), r.bar1for);
    r.bar2back = Settings::readInt(QStringLiteral("secbarreback"), r.bar2back);
    r.bar2for = Settings::readInt(QStringLiteral("secbarrefor"), r.bar2for);
    r.graphback = Settings::readInt(QStringLiteral("graphback"), r.graphback);
    r.graphfor = Settings::readInt(QStringLiteral("graphfor"), r.graphfor);
    r.graphmodem = Settings::readInt(QStringLiteral("graphmodem"), r.graphmodem);
    r.type = ftp ? 1 : 0;
    if (!ftp && url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        r.url = url.mid(8);
        r.type = 2;
    }
    r.status = 1;
    return r;
}

QString ProjectFile::listedAddress(const QString &url, int type)
{
    return type == 2 ? QStringLiteral("https://") + url : url;
}

QString ProjectFile::field(const QByteArray &text, const QByteArray &key, int from, int *end)
{
    const int at = from < 0 ? -1 : int(text.indexOf(key, from));
    if (at < 0) {
        if (end)
            *end = -1;
        return QString();
    }
    const int start = at + int(key.size());
    const int cr = int(text.indexOf(kCrLf, start));
    const int stop = cr < 0 ? int(text.size()) : cr;
    if (end)
        *end = cr < 0 ? int(text.size()) : cr + int(kCrLf.size());
    // fromUtf8 of an empty slice is empty, not null: a present but empty value
    // stays distinguishable from a missing key.
    QString value = QString::fromUtf8(text.constData() + start, stop - start);
    if (value.isNull())
        value = QLatin1String("");
    return value;
}

ProjectRecord ProjectFile::parse(const QByteArray &text)
{
    ProjectRecord r;
    int pos = 0;
    const QString url = nextField(text, "url:", &pos);
    if (!url.isNull())
        r.url = url;
    readNumber(text, "bytes:", &pos, &r.bytes);
    const QString path = nextField(text, "path:", &pos);
    if (!path.isNull())
        r.path = path;
    readNumber(text, "packsize:", &pos, &r.packsize);
    readNumber(text, "showmodem:", &pos, &r.showmodem);
    readNumber(text, "bar1back:", &pos, &r.bar1back);
    readNumber(text, "bar1for:", &pos, &r.bar1for);
    readNumber(text, "bar2back:", &pos, &r.bar2back);
    readNumber(text, "bar2for:", &pos, &r.bar2for);
    readNumber(text, "graphback:", &pos, &r.graphback);
    readNumber(text, "graphfor:", &pos, &r.graphfor);
    readNumber(text, "graphmodem:", &pos, &r.graphmodem);
    readNumber(text, "Type:", &pos, &r.type);
    r.status = status(text);
    return r;
}

int ProjectFile::statusPosition(const QByteArray &text)
{
    int at = int(text.indexOf(kStatusKey));
    while (at > 0 && !(at >= 2 && text.at(at - 2) == '\r' && text.at(at - 1) == '\n'))
        at = int(text.indexOf(kStatusKey, at + 1));
    return at;
}

int ProjectFile::status(const QByteArray &text)
{
    const int at = statusPosition(text);
    if (at < 0)
        return -1;
    const int digit = at + int(kStatusKey.size());
    if (digit >= text.size() || text.at(digit) < '0' || text.at(digit) > '9')
        return -1;
    return text.at(digit) - '0';
}

QByteArray ProjectFile::withStatus(const QByteArray &text, int digit)
{
    const int at = statusPosition(text);
    QByteArray out;
    if (at >= 0) {
        out = text.left(at);
    } else {
        out = text;
        if (!out.isEmpty() && !out.endsWith(kCrLf))
            out += kCrLf;
    }
    out += kStatusKey;
    out += QByteArray::number(digit);
    out += kCrLf;
    return out;
}

void ProjectFile::applyToSettings(const QByteArray &text, qint64 *packSize, bool *ftp)
{
    static const QList<QPair<const char *, const char *>> keys = {
        {"path:", "FilePath"},         {"packsize:", "packsize"},   {"showmodem:", "ShowModem"},
        {"bar1back:", "mainbarreback"}, {"bar1for:", "mainbarrefor"}, {"bar2back:", "secbarreback"},
        {"bar2for:", "secbarrefor"},    {"graphback:", "graphback"},  {"graphfor:", "graphfor"},
        {"graphmodem:", "graphmodem"}};
    *packSize = 0;
    int from = 0;
    for (const auto &[key, setting] : keys) {
        int end = -1;
        const QString value = field(text, key, from, &end);
        if (value.isNull())
            continue;
        if (qstrcmp(key, "packsize:") == 0)
            *packSize = toInteger(value, 0);
        else
            Settings::write(QString::fromLatin1(setting), value);
        from = end;
    }
    *ftp = field(text, "Type:", from).trimmed() == QLatin1String("1");
}
