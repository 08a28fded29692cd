#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// The header lines the user adds to every request of a project: a site's
// cookies, the page the link was on (Referer), the browser's user agent, or
// any other "Name: value" a site wants. They travel with the project in
// "headers.zov" beside its files, which only the user may read (a cookie is
// as good as a password), and go nowhere else: not into the list file, the
// project file, nor any log. They are sent only to the server the user
// addressed, by the probe and by every HTTP slot request.
class RequestHeaders
{
public:
    using Line = std::pair<QByteArray, QByteArray>; // name, value

    static QString fileName() { return QStringLiteral("headers.zov"); }

    // Adds "Name: value". False, with the reason in *why, for a line without
    // ":", a name that is not an HTTP token, a value holding CR, LF, NUL or
    // another control character (it would end the line and start a header of
    // its own), or a name the transfer itself decides (Host, Range, If-Range,
    // Connection, Content-Length, Transfer-Encoding). An empty value asks that
    // the program's own line of that name not be sent. Cookie lines join into
    // one (a request carries one Cookie header); another name given again
    // takes the new value.
    bool add(const QByteArray &line, QString *why);
    bool add(const QByteArray &name, const QByteArray &value, QString *why);

    bool isEmpty() const { return m_lines.isEmpty(); }
    const QList<Line> &lines() const { return m_lines; }

    // A request's lines (the request line first) with these added: every line
    // of the request whose name one of these has is left out (the user's
    // User-Agent replaces the program's), then these follow, but for those of
    // empty value.
    void addTo(QList<QByteArray> *request) const;

    // projectDir ends with "/". A missing file: no lines.
    static RequestHeaders read(const QString &projectDir);
    // Written 0600; no lines: the file is removed.
    bool write(const QString &projectDir) const;

    bool operator==(const RequestHeaders &) const = default;

private:
    QList<Line> m_lines;
};
