#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

#include "core/url_hand_off.h"

class QIODevice;

// The browser side of the hand-off: the native messaging host a browser
// extension talks to. The browser sends messages framed by a 32-bit length in
// the machine's byte order, each a JSON object
//   {"url": "...", "referrer": "...", "userAgent": "...", "cookies": "a=1; b=2", "probe": true}
// (all but "url" optional: the browser's session for that address, and
// whether the answer waits until the program has probed the address); every
// message gets one framed JSON answer, {"ok": true} or
// {"ok": false, "cause": "refused" | "not-running" | "late", "why": "..."}.
class NativeHost
{
public:
    // The host's name, as the extension and the manifests know it.
    static const QString Name;
    // Messages above this size are refused (their bytes are read and dropped).
    static constexpr quint32 MaxMessage = 64 * 1024;

    // One address for the program: its header lines ("Name: value" joined by
    // LF) and whether the sender waits for the probe.
    struct Request
    {
        QString address;
        QByteArray headerLines;
        bool probe = false;
    };
    // Hands a request to the program; why says what went wrong.
    using Deliver = std::function<UrlHandOff::Outcome(const Request &request, QString *why)>;

    // The answer to one message body.
    static QByteArray answer(const QByteArray &message, const Deliver &deliver);
    // Reads messages from in until it ends and writes an answer for each to
    // out. Returns 0 when the input ended between two messages, 1 when it
    // ended inside one.
    static int serve(QIODevice &in, QIODevice &out, const Deliver &deliver);

    // The host manifest for "chromium" (every browser built on Chromium) or
    // "firefox", naming the host executable at hostPath and the extension.
    static QByteArray manifest(const QString &browser, const QString &hostPath);
    // Where the current user's browsers look for manifests: Chromium, Google
    // Chrome, Brave, Vivaldi, Microsoft Edge, Firefox.
    static QStringList userManifestPaths();
    // Where the same browsers look for the manifests of every user.
    static QStringList systemManifestPaths();
    // The browser a manifest path belongs to, as people name it.
    static QString browserOf(const QString &manifestPath);
    // The host executable beside the program's own.
    static QString hostPath();
    // Writes the current user's manifests for the browsers whose folder
    // exists (all of them when none does yet); false when one could not be
    // written.
    static bool installForUser();
    static void removeForUser();
    // The current user's manifests that exist.
    static QStringList installedForUser();
};
