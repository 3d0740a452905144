#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QThread>

#include <memory>

// What the fake server sends at one step of a conversation, and what it does after.
struct FakePop3Reply {
    enum class Then {
        Continue, // keep reading commands
        Close,    // close the connection once the bytes are out
        Stall,    // never send anything again; input is still recorded
        StartTls, // start TLS as the server once the bytes are out (the reply to STLS)
        // Keep reading commands, but lose whatever the client sent behind this command
        // before it was answered, as a login process that hands the connection to another
        // one does (Courier's pop3d after PASS).
        DropQueued,
        // Keep reading commands; when the client sent more behind this command before it
        // was answered, answer a phantom empty command first (Cyrus's pop3d after AUTH).
        PhantomIfQueued,
    };

    QByteArray bytes; // sent exactly as given
    Then then = Then::Continue;
    int dripMs = -1; // >= 0: one byte every dripMs ms; -1: the script's dripMs

    // text followed by CR LF.
    static FakePop3Reply line(const QByteArray &text);
    // bytes exactly as given (own line ends, LF only, none at all, binary...).
    static FakePop3Reply raw(const QByteArray &bytes);
    // Sends before (may be empty), then closes.
    static FakePop3Reply close(const QByteArray &before = QByteArray());
    // Sends before (may be empty), then goes silent for good.
    static FakePop3Reply stall(const QByteArray &before = QByteArray());
    // Sends before in the clear, then waits for the client's TLS handshake. Input that
    // arrived before is dropped unread, as a server must.
    static FakePop3Reply startTls(const QByteArray &before = "+OK begin TLS\r\n");
    FakePop3Reply dripped(int ms) const;
    // The same bytes, with what follows them changed.
    FakePop3Reply thenDoing(Then what) const;
};

// A conversation as the server plays it: a greeting on connect, then one reply per
// command line, looked up by the command's first two words, else its first word. Lines
// that arrive together (pipelined) are answered in order.
struct FakePop3Script {
    FakePop3Reply greeting = FakePop3Reply::line("+OK fake POP3 server ready");
    // By command verb in upper case: "USER", "PASS", "STAT", "QUIT", ..., or by verb and
    // first argument: "AUTH PLAIN", "AUTH SCRAM-SHA-256".
    QHash<QByteArray, FakePop3Reply> replies;
    // For a key of replies: the replies to the lines after that command, whatever they
    // hold (a SASL exchange: challenges, then +OK or -ERR).
    QHash<QByteArray, QList<FakePop3Reply>> followUps;
    // For verbs without an entry.
    FakePop3Reply unknown = FakePop3Reply::line("-ERR unknown command");
    // Default pace for every reply: 0 sends at once.
    int dripMs = 0;

    // Greets, takes any login, reports count messages of 4096 octets each; QUIT gets
    // +OK and a close.
    static FakePop3Script mailbox(qint64 count);
    // mailbox(count) whose CAPA lists STLS and whose STLS starts TLS.
    static FakePop3Script stlsMailbox(qint64 count);
    // Answers CAPA with +OK, the given lines and the closing dot.
    FakePop3Script &capa(const QList<QByteArray> &lines);

    FakePop3Script &greet(const FakePop3Reply &reply);
    FakePop3Script &on(const QByteArray &verb, const FakePop3Reply &reply);
    // replies.first() answers the command, each further reply the line after.
    FakePop3Script &exchange(const QByteArray &verb, const QList<FakePop3Reply> &replies);
};

Q_DECLARE_METATYPE(FakePop3Script)

// The server's side of TLS: the certificate it presents and whether each connection
// starts with a handshake (implicit TLS, as on port 995) or in the clear, where a
// StartTls reply switches.
struct FakeTls {
    QList<QSslCertificate> chain; // the server's certificate first
    QSslKey key;
    bool implicit = false;
};

// A scripted POP3 server on loopback (127.0.0.1 unless told otherwise) and a free port (or
// the one given). It
// runs in a thread of its own, so it answers like a real peer while the test's thread
// blocks in a client. It records every byte it receives from every client, after
// decryption, and separately what arrived in the clear.
class FakePop3Server {
public:
    explicit FakePop3Server(const FakePop3Script &script = FakePop3Script::mailbox(0),
                            const FakeTls &tls = FakeTls(),
                            const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                            quint16 port = 0);
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server &) = delete;
    FakePop3Server &operator=(const FakePop3Server &) = delete;

    bool isListening() const;
    QString host() const { return m_address.toString(); }
    quint16 port() const;

    // Applies to connections accepted from now on.
    void setScript(const FakePop3Script &script);

    // Connections accepted so far, and those not yet closed.
    int connectionCount() const;
    int openConnectionCount() const;
    // Every byte received from clients, in the order it arrived (decrypted under TLS).
    QByteArray received() const;
    // What of that arrived in the clear, before any TLS.
    QByteArray receivedInClear() const;
    // TLS handshakes that completed.
    int handshakeCount() const;
    // The command lines received, without line ends.
    QList<QByteArray> commands() const;
    // What was received, one entry per read that brought whole lines: lines a client sent
    // together (pipelined) share an entry, lines sent after waiting for a reply do not.
    QList<QByteArray> flights() const;
    void clearLog();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    QHostAddress m_address;
    QThread m_thread;
    QObject *m_worker = nullptr;
};
