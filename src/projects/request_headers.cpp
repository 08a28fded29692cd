#include "projects/request_headers.h"

#include "core/text_file.h"

#include <QFile>

#include <algorithm>

namespace {
// RFC 9110 token characters: what a header name may be made of.
bool isToken(const QByteArray &name)
{
    static const QByteArray extra = "!#$%&'*+-.^_`|~";
    return !name.isEmpty() && std::all_of(name.cbegin(), name.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || extra.contains(c);
    });
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The requests' own framing: a user's line of these names would make the
// slot read its answers wrong or ask another server.
bool decidedByTransfer(const QByteArray &name)
{
    for (const char *own : {"Host", "Range", "If-Range", "Connection", "Content-Length", "Transfer-Encoding"})
        if (sameName(name, own))
            return true;
    return false;
}
} // namespace

bool RequestHeaders::add(const QByteArray &line, QString *why)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0) {
        *why = QStringLiteral("The header \"%1\" has no \":\" between its name and its value.").arg(QString::fromUtf8(line));
        return false;
    }
    return add(line.left(colon).trimmed(), line.mid(colon + 1).trimmed(), why);
}

bool RequestHeaders::add(const QByteArray &name, const QByteArray &value, QString *why)
{
    if (!isToken(name)) {
        *why = QStringLiteral("The header name \"%1\" is not a valid name (letters, digits and !#$%&'*+-.^_`|~ only).")
                   .arg(QString::fromUtf8(name));
        return false;
    }
    // Tab is the one control character a value may hold.
    if (std::any_of(value.cbegin(), value.cend(), [](char c) { return (uchar(c) < 0x20 && c != '\t') || c == 0x7f; })) {
        *why = QStringLiteral("The value of the header %1 holds a line break or another control character.")
                   .arg(QString::fromUtf8(name));
        return false;
    }
    if (decidedByTransfer(name)) {
        *why = QStringLiteral("The header %1 is the program's own: it cannot be given.").arg(QString::fromUtf8(name));
        return false;
    }
    const bool cookie = sameName(name, "Cookie");
    for (Line &l : m_lines) {
        if (sameName(l.first, name)) {
            l.second = cookie && !l.second.isEmpty() && !value.isEmpty() ? l.second + "; " + value : value;
            return true;
        }
    }
    m_lines.append({name, value});
    return true;
}

void RequestHeaders::addTo(QList<QByteArray> *request) const
{
    if (m_lines.isEmpty() || request->isEmpty())
        return;
    const auto given = [this](const QByteArray &line) {
        const QByteArray name = line.left(line.indexOf(':')).trimmed();
        return std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const Line &l) { return sameName(l.first, name); });
    };
    request->erase(std::remove_if(request->begin() + 1, request->end(), given), request->end());
    for (const Line &l : m_lines)
        if (!l.second.isEmpty())
            request->append(l.first + ": " + l.second);
}

RequestHeaders RequestHeaders::read(const QString &projectDir)
{
    RequestHeaders headers;
    QString why;
    for (const QByteArray &line : TextFile::read(projectDir + fileName()).split('\n')) {
        // A line that would not pass add() (edited by hand) is not sent.
        if (!line.trimmed().isEmpty())
            headers.add(line.endsWith('\r') ? line.chopped(1) : line, &why);
    }
    return headers;
}

bool RequestHeaders::write(const QString &projectDir) const
{
    if (m_lines.isEmpty()) {
        QFile::remove(projectDir + fileName());
        return true;
    }
    QByteArray text;
    for (const Line &l : m_lines)
        text += l.first + ": " + l.second + "\r\n";
    return TextFile::write(projectDir + fileName(), text, nullptr, 0600);
}
