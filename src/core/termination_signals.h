#pragma once
#include <QObject>

// SIGINT and SIGTERM delivered on the event loop: the handler only writes one
// byte into a socket pair, and the loop reads it and emits requested(), where
// the program may close its files as for any other request to end. One object
// per process.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;
    // The handlers could not be put in place (no socket pair).
    bool installed() const { return m_installed; }

signals:
    void requested(int signalNumber);

private:
    bool m_installed = false;
};
