#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

#include <functional>
#include <optional>

class QEventLoop;
class QSslSocket;
class QTimer;
class TlsAttempt;

// The wire under a POP3 conversation: one socket, waits that never outlast their deadline
// and line framing. Each wait runs a nested event loop that skips user input, so the
// window keeps painting while the caller blocks. The socket is a QSslSocket: it starts in
// plain mode and switches to TLS on startTls(), with the same framing and waits after.
// A rival (see setRival()) is a connection with implicit TLS tried beside this plain one
// for the same check; the first of the two to carry a verified TLS session takes the check.
class Pop3Channel : public QObject {
    Q_OBJECT
public:
    enum class Result {
        Ok,
        TimedOut,     // the deadline passed first
        Closed,       // the peer closed or reset the connection
        HostNotFound, // the name did not resolve
        Refused,      // nothing listens on the port
        TooLong,      // a line longer than MaxLine octets
        Failed,       // any other socket error (see errorString())
        Cancelled,    // cancel() was called, or the application is ending
        TlsFailed,    // the handshake or the certificate check failed (see tlsErrors())
        Superseded,   // the rival took the check (see setRival())
    };

    // A reply line may hold at most this many octets, line end included.
    static constexpr int MaxLine = 512;

    explicit Pop3Channel(QObject *parent = nullptr);
    ~Pop3Channel() override;

    // Connects to every address of host in a race (AddressRace, RFC 8305).
    Result open(const QString &host, quint16 port, QDeadlineTimer deadline);
    // Takes over a connection made elsewhere (a rival's, with TLS already up) in place of
    // the one this channel had, which is dropped; the rival is forgotten.
    void adopt(QSslSocket *socket);
    // The addresses the host of the last open() resolved to.
    QList<QHostAddress> addresses() const { return m_addresses; }
    // One line without its line end; CR LF and a lone LF both end a line.
    Result readLine(QByteArray *line, QDeadlineTimer deadline);
    // Sends line + CR LF and waits until the socket took it. A line holding CR, LF or NUL
    // is refused (Failed) and nothing is sent.
    Result writeLine(const QByteArray &line, QDeadlineTimer deadline);
    // Several lines in one write, so they travel together (pipelining, RFC 2449). If any
    // line is unsafe, none is sent.
    Result writeLines(const QByteArrayList &lines, QDeadlineTimer deadline);
    // Starts TLS on the open connection: right after open() for implicit TLS, or after the
    // server's +OK to STLS. Input that arrived before is thrown away unread, so nothing a
    // server sent in the clear can pass for a reply under TLS. The certificate must chain
    // to the system's trusted authorities (or extraCas, for tests) and name verifyName,
    // the host as the user typed it (RFC 6125, see HostIdentity). On TlsFailed the
    // connection is gone and tlsErrors() says what the check found (empty when the
    // handshake itself broke down).
    Result startTls(const QString &verifyName, const QList<QSslCertificate> &extraCas,
                    QDeadlineTimer deadline);
    QList<QSslError> tlsErrors() const { return m_tlsErrors; }
    // Input has arrived that no readLine() has taken yet, a part of a line included.
    bool hasInput() const;
    bool isEncrypted() const;

    // Flushes what is queued and disconnects, aborting whatever is left at the deadline.
    void close(QDeadlineTimer deadline);
    void abort();
    // Lets the connection go without waiting: what is queued is still sent, then the
    // connection is closed (a FIN, not a reset) while the channel goes on with another.
    // Aborted with the channel at the latest.
    void retire();

    // While this connection has no verified TLS session and has not claimed the check, a
    // rival that gets one supersedes it: the wait under way and every later one end with
    // Superseded. A successful startTls() claims the check and withdraws the rival.
    void setRival(TlsAttempt *rival);
    // Claims the check for this connection before it carries anything secret in the clear:
    // waits until the rival has settled (Superseded if it won) or the deadline passed (the
    // rival is then withdrawn). Ok at once without a rival.
    Result claim(QDeadlineTimer deadline);
    bool isSuperseded() const { return m_superseded; }
    bool hasClaimed() const { return m_claimed; }

    // Waits until check gives a result, the deadline passes (TimedOut), the check is
    // cancelled or superseded. Anything this channel watches (its socket, the rival, a
    // signal connected to wake()) makes it look again.
    Result waitFor(const std::function<std::optional<Result>()> &check, QDeadlineTimer deadline);
    void wake();

    // Ends the wait under way and every later one with Cancelled. Safe to call from code
    // that runs inside a wait (a timer slot, an owner's destructor).
    void cancel();
    bool isCancelled() const { return m_cancelled; }
    bool isConnected() const;

    QString errorString() const;

private:
    Result socketFailure() const;
    void acknowledgeAtOnce();
    void pull();
    void dropSocket();
    bool rivalWon();

    QSslSocket *m_socket = nullptr; // none before open()
    QList<QSslSocket *> m_retired;
    TlsAttempt *m_rival = nullptr;
    QList<QHostAddress> m_addresses;
    QString m_openError;
    QTimer *m_timer = nullptr;
    QEventLoop *m_loop = nullptr;
    QByteArray m_buffer;
    QList<QSslError> m_tlsErrors;
    bool m_woken = false;
    bool m_cancelled = false;
    bool m_superseded = false;
    bool m_claimed = false;
};
