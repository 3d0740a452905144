#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QEventLoop;
class QSslSocket;
class QTimer;

// The wire under a POP3 conversation: one socket, waits that never outlast their deadline
// and line framing. Each wait runs a nested event loop that skips user input, so the
// window keeps painting while the caller blocks. The socket is a QSslSocket used in plain
// mode; encryption can be started on it without changing the framing or the waits.
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
    };

    // A reply line may hold at most this many octets, line end included.
    static constexpr int MaxLine = 512;

    explicit Pop3Channel(QObject *parent = nullptr);
    ~Pop3Channel() override;

    Result open(const QString &host, quint16 port, QDeadlineTimer deadline);
    // One line without its line end; CR LF and a lone LF both end a line.
    Result readLine(QByteArray *line, QDeadlineTimer deadline);
    // Sends line + CR LF and waits until the socket took it. A line holding CR, LF or NUL
    // is refused (Failed) and nothing is sent.
    Result writeLine(const QByteArray &line, QDeadlineTimer deadline);
    // Flushes what is queued and disconnects, aborting whatever is left at the deadline.
    void close(QDeadlineTimer deadline);
    void abort();

    // Ends the wait under way and every later one with Cancelled. Safe to call from code
    // that runs inside a wait (a timer slot, an owner's destructor).
    void cancel();
    bool isCancelled() const { return m_cancelled; }
    bool isConnected() const;

    QString errorString() const;

private:
    using Check = std::function<std::optional<Result>()>;

    Result waitFor(const Check &check, QDeadlineTimer deadline);
    Result socketFailure() const;
    void pull();
    void wake();

    QSslSocket *m_socket = nullptr;
    QTimer *m_timer = nullptr;
    QEventLoop *m_loop = nullptr;
    QByteArray m_buffer;
    bool m_woken = false;
    bool m_cancelled = false;
};
