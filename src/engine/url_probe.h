#pragma once
#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include "projects/server_info.h"

class QTimer;
class Winsock;

// What a successful probe found, handed to the new-project dialog.
struct ProbeResult
{
    bool ftp = false;
    qint64 fileSize = 0;
    QString projectName;    // the base name of fileName, made unique in the store
    // The address the file was found at, after any redirection, as the project
    // keeps it: no scheme (or "https://") and no "user:password@".
    QString url;
    // The address the probe was given, in the same form: what finds the
    // project again when the same address is given once more.
    QString askedUrl;
    // "user:password" (escapes kept) that the requests for url carry; empty
    // when the address named none or a redirection led to another server.
    QString login;
    // The header lines the user added (cookies, Referer...): those the
    // requests for url carry; empty when a redirection led to another server.
    RequestHeaders headers;
    // The name the file is saved under (File_URL): the one the server's
    // Content-Disposition gives, else the last segment of url, decoded.
    QString fileName;
    bool rangesSupported = false;
    qint64 packSize = 0;    // packSizeFor(0) when the probe ended
    // The pack size rule: a server without byte ranges gets one pack, the
    // whole file; otherwise the size chosen (0: the settings').
    qint64 packSizeFor(qint64 chosen) const;
    // The validators of the file as the last response (after redirections)
    // named them; empty when the server sent none (and always over FTP).
    QByteArray etag, lastModified;

    // What the project keeps about the server beside its files.
    ServerInfo serverInfo() const;
};
Q_DECLARE_METATYPE(ProbeResult)

// The URL probe: learns the size of the file behind an address before a project
// is made of it. Over HTTP it sends one GET for the file's first FirstAnswerBytes
// ("Range: bytes=0-1048575": a 206 names the whole size in its Content-Range) and
// judges the response header; over FTP it logs in anonymously and asks SIZE. It
// never writes a file. The answer's body is not thrown away: its connection is
// kept (WarmConnections::keepAnswer) for slot 1, whose first request it is.
// One probe runs at a time; start() returns at once and the outcome comes as
// exactly one succeeded() or failed(), followed by finished(). A redirection
// is followed inside the same run by a new, complete probe of the new address.
class UrlProbe : public QObject
{
    Q_OBJECT
public:
    static constexpr int TimeoutInterval = 20000;   // no data at all: give up
    static constexpr int TestFtpInterval = 3000;    // FTP: no SIZE reply nor error code
    static constexpr int MaxRedirections = 10;      // redirections followed in a row
    static constexpr int MaxServerWaits = 3;        // waits a busy server asks for, in a row
    // The bytes the probe asks for: what an HTTP slot asks for first, so the
    // answer serves as slot 1's first request.
    static constexpr qint64 FirstAnswerBytes = 1 << 20;

    static const char *const ErrorTitle;
    static const char *const MsgUnableHighSpeed;
    static const char *const MsgFileNotFound;
    static const char *const MsgFtpError;
    static const char *const MsgConnectError;       // both lines, CR LF between
    static const char *const MsgUnableToConnect;    // followed by CR LF and the address
    static const char *const MsgLoginWanted;        // 401, 407
    static const char *const MsgLoginRefused;       // 401, 407 to the user name and password sent
    static const char *const MsgAccessRefused;      // 403
    static const char *const MsgServerBusy;         // 429, 503
    static const char *const AnonymousPassword;

    explicit UrlProbe(QObject *parent = nullptr);
    ~UrlProbe() override;

    // Starts probing txtUrl (the text of Txt_Url). Ignored while a probe runs.
    // headers: lines the user adds to the requests, sent to the server of
    // txtUrl only (not to another one a redirection leads to).
    void start(const QString &txtUrl, const RequestHeaders &headers = {});
    bool isRunning() const { return m_running; }
    // The address as the probe left it: scheme stripped, or a redirection target.
    QString urlText() const { return m_txtUrl; }
    // The system's words for the network failure behind the last failed()
    // ("Connection refused"); empty when the probe failed for another reason.
    QString networkReason() const { return m_networkReason; }
    // The HTTP status behind the last failed() when the server's answer was
    // the cause (401, 403, 404...); 0 otherwise.
    int failureStatus() const { return m_failureStatus; }
    // The last failed() was a web page where the file was expected: often a
    // site's login form, shown to a request without the browser's session.
    bool foundWebPage() const { return m_webPage; }

    // Tests shorten the no-data deadline; the program keeps TimeoutInterval.
    void setTimeoutInterval(int ms);

    Winsock *probeSocket() const { return m_winsock; }

    // The address as a project keeps it once probed (scheme taken off, except
    // "https://", which says the server speaks TLS), before any redirection;
    // empty when the address cannot be probed at all.
    static QString storedAddress(const QString &typed);
    static QString withoutScheme(const QString &address);

    // The proposed project name for a base name: the base name itself, or, when
    // a file or folder of that name exists in projectsDir, base + "_" + the
    // seconds since midnight with their fraction, up to seven significant
    // digits ("64547.12", "5.25"), so that two names made within the same
    // second still differ.
    static QString projectNameFor(const QString &baseName, const QString &projectsDir,
                                  double secondsSinceMidnight);

    // The address being probed is an FTP one (known once start() ran).
    bool isFtp() const { return Test_Link_FTP; }

signals:
    void started();
    // The text Txt_Url must show from now on.
    void urlTextChanged(const QString &text);
    // The server is busy and asked to be asked again in `seconds`: the probe
    // waits that long and asks again.
    void serverBusy(int seconds);
    void succeeded(const ProbeResult &result);
    void failed(const QString &title, const QString &text);
    void finished();

private:
    // Probe state: what is being probed and what the server said.
    bool Test_Link_FTP = false;
    bool httpsLink = false;   // the address being probed is an https:// one
    QString Host_URL;
    QString Path_URL;
    QString File_URL;
    qint64 File_Size = 0;
    QString Project_Name;
    bool Redirection = false;
    bool Header_OK = false;
    QByteArray Txt_Sended;     // the HTTP request last sent
    QByteArray Txt_Recu;       // the HTTP response header last judged

    void runProbe();
    void onConnected();
    void onDataArrival();
    void onClosed();
    void onError(int number, const QString &description);
    void onTimeout();
    void onTestFtp();

    void httpData(const QByteArray &chunk);
    void judgeHttpHeader();
    void ftpData(const QByteArray &chunk);
    void followRedirection(const QByteArray &header);
    // A refusal that names the server's answer on the line under text.
    void failWithStatus(int status, const QString &text, const QString &more = QString());
    bool deriveProjectName();
    void sendQuit();
    // Hands the answer's connection on to slot 1 when its body is of use there.
    void keepAnswer(const QString &url);
    void closeProbe();
    void fail(const QString &text);
    void succeed();

    Winsock *m_winsock = nullptr;
    QTimer *Timer_Timeout = nullptr;
    QTimer *Timer_Test_FTP = nullptr;

    QString m_txtUrl;
    QString m_firstUrl;         // the address given to start(), as a project keeps it
    RequestHeaders m_headers;   // the user's lines for m_firstUrl's server
    QString m_networkReason;
    int m_failureStatus = 0;
    bool m_webPage = false;
    QString m_serverName;       // the name the answer's Content-Disposition gives
    bool m_running = false;     // from start() to finished()
    bool m_active = false;      // a probe connection is open and undecided
    bool m_ranges = false;      // the HTTP server answered 206
    int m_redirections = 0;
    int m_serverWaits = 0;            // waits a busy server asked for in this probe
    QTimer *m_serverWaitTimer = nullptr;
    QByteArray m_buffer;        // received bytes not judged yet
    QByteArray m_etag, m_lastModified;  // validators of the response judged
};
