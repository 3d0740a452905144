#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

// A real Dovecot POP3 server on loopback (127.0.0.1 and 127.0.0.2) with one account,
// driven through scripts/dovecot-sandbox in a temporary directory. Dovecot has to run as
// root. The server is stopped, and waited for, when the object goes away. With TLS it
// offers STLS on port() and implicit TLS on pop3sPort().
//
// Tests that need it start with MORVEX_REQUIRE_DOVECOT(): it skips the test where Dovecot
// cannot run, except under CI (CI=true), where a missing Dovecot is a failure.
class Dovecot {
public:
    enum class Tls {
        Off,      // plain POP3 only
        Offered,  // STLS and a pop3s port; plaintext logins still allowed
        Required, // no login without TLS (except from 127.0.0.1 to 127.0.0.1)
    };

    Dovecot();
    ~Dovecot();
    Dovecot(const Dovecot &) = delete;
    Dovecot &operator=(const Dovecot &) = delete;

    // Takes effect at the next start(): the TLS mode and the PEM files of the certificate
    // and key to present.
    void setTls(Tls mode, const QString &certificateFile = QString(),
                const QString &keyFile = QString());

    // Takes effect at the next start(): Dovecot's auth_mechanisms, e.g. "plain login
    // scram-sha-256 apop"; empty: the sandbox's default ("plain login").
    void setMechanisms(const QString &mechanisms) { m_mechanisms = mechanisms; }

    // Starts the server with `messages` messages waiting. False with errorString() set
    // when it did not come up.
    bool start(int messages = 0);
    void stop();
    bool isRunning() const { return m_port != 0; }

    quint16 port() const { return m_port; }
    // The implicit TLS port; 0 without TLS.
    quint16 pop3sPort() const { return m_pop3sPort; }
    static QString user() { return QStringLiteral("testuser"); }
    static QString password() { return QStringLiteral("secret"); }
    // The same mailbox's second login, with letters beyond ASCII in both.
    static QString utf8User() { return QStringLiteral("j\u00f6rg"); }
    static QString utf8Password() { return QStringLiteral("p\u00e4ssw\u00f6rd\u20ac"); }

    // Change the mailbox while the server runs; false with errorString() set on failure.
    bool addMessages(int count);
    bool removeMessages(int count);
    // The messages in the mailbox, or -1 when they cannot be counted.
    int messageCount();

    QString errorString() const { return m_error; }
    // The server's own log, for failure messages.
    QString log() const;

    // Empty when Dovecot can run here, else why not.
    static QString unavailableReason();
    // True when a test must fail rather than skip if Dovecot cannot run (CI=true).
    static bool required();
    static QString scriptPath();

private:
    bool run(const QStringList &arguments, QByteArray *output = nullptr);

    QTemporaryDir m_dir; // declared first: outlives the server that writes into it
    quint16 m_port = 0;
    quint16 m_pop3sPort = 0;
    Tls m_tls = Tls::Off;
    QString m_certificateFile;
    QString m_keyFile;
    QString m_mechanisms;
    QString m_error;
};

#define MORVEX_REQUIRE_DOVECOT()                                                                   \
    do {                                                                                           \
        const QString dovecotMissing = Dovecot::unavailableReason();                               \
        if (!dovecotMissing.isEmpty()) {                                                           \
            if (Dovecot::required())                                                               \
                QFAIL(qPrintable(QStringLiteral("CI=true but ") + dovecotMissing));                \
            QSKIP(qPrintable(dovecotMissing));                                                     \
        }                                                                                          \
    } while (false)
