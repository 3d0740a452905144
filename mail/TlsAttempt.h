#pragma once

#include "Pop3Channel.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class AddressRace;
class QSslSocket;
class QTimer;

// A connection with implicit TLS (RFC 8314), made beside a plain one for the same check:
// it connects as AddressRace does, then runs a TLS handshake that verifies the server as
// TlsClient does. It never blocks: it goes on while whoever drives the event loop waits,
// and reports every step through changed(). Connecting and the handshake get timeoutMs each.
// Until it has settled, deleting it or withdraw() gives it up.
class TlsAttempt : public QObject {
    Q_OBJECT
public:
    enum class State {
        Connecting,
        Handshaking,
        Verified,  // takeSocket() hands over the connection, TLS up and checked
        Failed,    // see failure(), tlsErrors(), errorString()
        Withdrawn, // another connection took the check
    };

    TlsAttempt(const QString &host, quint16 port, const QList<QSslCertificate> &extraCas,
               int timeoutMs, QObject *parent = nullptr);
    ~TlsAttempt() override;
    TlsAttempt(const TlsAttempt &) = delete;
    TlsAttempt &operator=(const TlsAttempt &) = delete;

    void start();
    State state() const { return m_state; }
    bool hasSettled() const { return m_state >= State::Verified; }
    // How it failed: HostNotFound, Refused, TimedOut or Failed while connecting; TlsFailed
    // or TimedOut in the handshake.
    Pop3Channel::Result failure() const { return m_failure; }
    bool reachedHandshake() const { return m_reachedHandshake; }
    QList<QSslError> tlsErrors() const { return m_tlsErrors; }
    QString errorString() const { return m_error; }
    // The verified connection, then nullptr; the caller owns it.
    QSslSocket *takeSocket();
    // Another connection took the check: a connection of this one is closed properly
    // (TLS's close_notify and a FIN once the handshake is through), anything else dropped.
    void withdraw();

signals:
    void changed();

private:
    void connected();
    void handshakeOver();
    void timedOut();
    void dropRace();
    void fail(Pop3Channel::Result failure);
    void settle(State state);

    QString m_host;
    quint16 m_port;
    QList<QSslCertificate> m_extraCas;
    int m_timeoutMs;
    AddressRace *m_race = nullptr;
    QSslSocket *m_socket = nullptr;
    QTimer *m_timer = nullptr;
    State m_state = State::Connecting;
    Pop3Channel::Result m_failure = Pop3Channel::Result::Ok;
    bool m_reachedHandshake = false;
    QList<QSslError> m_tlsErrors;
    QString m_error;
};
