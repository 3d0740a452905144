#pragma once

#include "FakePop3Server.h"
#include "mail/Pop3Codes.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

// One check of Tarvik against the fake POP3 server, written as a data row: what the
// server plays, how the server text is written, and what must come out. run() performs
// the check and asserts the code, the status, the count, the time taken, the connections,
// and where the login and password went on the wire.
struct TarvikCase {
    enum class Server { Plain, ImplicitTls };
    // Where the login and password may travel.
    enum class Credentials {
        InClear,       // a plain server that offered no STLS: anything goes
        EncryptedOnly, // sent, but never in the clear
        Never,         // not sent at all
    };

    static constexpr char user[] = "alice";
    // Unlikely to turn up on the wire by chance.
    static constexpr char password[] = "pw-7Qx9-never-in-clear";

    QString login = QString::fromLatin1(user);
    QString secretText = QString::fromLatin1(password);
    QByteArray nonce; // the SCRAM client nonce; empty: random
    FakePop3Script script = FakePop3Script::mailbox(3);
    Server server = Server::Plain;
    QString identity = QStringLiteral("localhost"); // a TestCertificates name
    bool trustTestCa = true;
    bool ipv6 = false; // the server listens on ::1 instead of 127.0.0.1
    // Where the server listens instead of loopback (an address of a network namespace).
    QString address;
    // A bare host name's ports: the server listens on 110 and popport keeps its default;
    // secure, when set, is played by a second server on 995 at the same address, with
    // implicit TLS (as secureIdentity) unless secureInClear. Without it, 995 refuses or
    // drops whatever the network does with it.
    bool bareHost = false;
    std::optional<FakePop3Script> secure;
    bool secureInClear = false;
    QString secureIdentity;     // empty: identity
    int secureConnections = -1; // -1: not checked
    // The server text; %h is the server's address, %p its port, %r a port nothing
    // listens on. Empty: the server's address. popport is the server's port unless bareHost.
    QString serverText;
    int timeout = 2;

    int code = Pop3Code::Ok;
    QString fragment = QStringLiteral("checked");
    qint64 count = 0;
    int minMs = 0;
    int maxMs = -1; // -1: timeout + 3 s
    Credentials credentials = Credentials::InClear;
    bool checkClear = false;
    QByteArray clear; // exactly what the server received in the clear
    bool checkReceived = false;
    QByteArray transcript; // exactly what the server received, decrypted
    bool checkFlights = false;
    QList<QByteArray> flightList; // exactly what arrived, flight by flight (decrypted)
    int connections = 1;          // -1: not checked
    int handshakes = -1;          // completed TLS handshakes; -1: not checked

    // Remembered protection. Each row has a state file of its own in a temporary folder.
    // %h and %p in these lines stand for the server's address and port, as above.
    QByteArray stateBefore; // the file's lines before the first check
    enum class StateFile {
        Regular,
        Fifo,       // a FIFO stands at the file's path, with nobody writing to it
        Unwritable, // a new file cannot be made beside it (as on a full or read-only home)
    };
    StateFile stateKind = StateFile::Regular;
    int earlierCode = Pop3Code::Ok; // what each earlier check must end with
    // Checks of the same server before the row's own, each with its script, each one
    // expected to succeed; restart: on a Tarvik of its own, as after a restart of the
    // program, else on the Tarvik of the row's check.
    QList<FakePop3Script> earlier;
    bool restart = true;
    bool checkState = false;
    QByteArray stateAfter; // the file's lines after the row, comments left out

    static TarvikCase ok(const FakePop3Script &script, qint64 count);
    static TarvikCase failing(const FakePop3Script &script, int code, const QString &fragment);
    // Refused before connecting: no connection, nothing on the wire, fast.
    static TarvikCase refused(const QString &serverText, int code, const QString &fragment);

    TarvikCase &tls(Server mode, const QString &identityName = QStringLiteral("localhost"));
    TarvikCase &text(const QString &value);
    TarvikCase &secret(Credentials where);
    TarvikCase &inClear(const QByteArray &bytes);
    TarvikCase &received(const QByteArray &bytes);
    TarvikCase &tlsHandshakes(int count);
    TarvikCase &within(int timeoutSeconds, int atLeastMs = 0, int underMs = -1);
    TarvikCase &untrusted();
    TarvikCase &as(const QString &name, const QString &secret);
    TarvikCase &scramNonce(const QByteArray &value);
    TarvikCase &inFlights(const QList<QByteArray> &list);
    TarvikCase &remembering(const QByteArray &lines);
    TarvikCase &after(const FakePop3Script &earlierScript, bool onFreshTarvik = true);
    TarvikCase &leaves(const QByteArray &lines);
    TarvikCase &bare(const QString &hostText, const QString &listenAddress);
    TarvikCase &with995(const FakePop3Script &script, int connectionCount = 1);

    void run() const;
};

Q_DECLARE_METATYPE(TarvikCase)

// What every status must be: short enough for the status line, and free of anything a
// server could use to garble it.
bool fitsStatusLine(const QString &status);
