#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

class QIODevice;

// The browser side of the hand-off: the native messaging host a browser
// extension talks to. The browser sends messages framed by a 32-bit length in
// the machine's byte order, each a JSON object {"url": "..."}; every message gets
// one framed JSON answer, {"ok": true} or {"ok": false, "error": "..."}.
class NativeHost
{
public:
    // The host's name, as the extension and the manifests know it.
    static const QString Name;
    // Messages above this size are refused (their bytes are read and dropped).
    static constexpr quint32 MaxMessage = 64 * 1024;

    // Hands an address to the program: true once delivered, or false with a
    // one-line reason.
    using Deliver = std::function<bool(const QString &address, QString *failure)>;

    // The answer to one message body.
    static QByteArray answer(const QByteArray &message, const Deliver &deliver);
    // Reads messages from in until it ends and writes an answer for each to
    // out. Returns 0 when the input ended between two messages, 1 when it
    // ended inside one.
    static int serve(QIODevice &in, QIODevice &out, const Deliver &deliver);

    // The host manifest for "chromium" (Chromium and Google Chrome) or
    // "firefox", naming the host executable at hostPath and the extension.
    static QByteArray manifest(const QString &browser, const QString &hostPath);
    // Where the current user's browsers look for manifests: Chromium, Google
    // Chrome, Firefox.
    static QStringList userManifestPaths();
    // The host executable beside the program's own.
    static QString hostPath();
    // Writes (or removes) the current user's manifests; false when one could
    // not be written.
    static bool installForUser();
    static void removeForUser();
    // Every manifest of the current user is there.
    static bool installedForUser();
};
