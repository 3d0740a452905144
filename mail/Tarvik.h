#pragma once

#include "Pop3Control.h"
#include "Protection.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>

#include <memory>

class Pop3Channel;
class ProtectionStore;
class ServerAddress;

// The main window's mailbox control: checks a POP3 mailbox (greeting, TLS when the server
// text or the server asks for it, CAPA, login, STAT, QUIT; see Pop3Session) and reports a
// result code from Pop3Codes.h, a one-line status and the message count. The server text
// takes the forms of ServerAddress; popport is the port of a bare host name. popCheck()
// blocks its caller but keeps the event loop turning (user input excluded), so the window
// repaints while the server is slow. Every wait is bounded by poptimeout seconds.
// The protection a server gave (TLS, SCRAM, APOP or CRAM-MD5) is remembered in a
// ProtectionStore as soon as the login succeeds; a later check that would get less ends
// with ProtectionLowered before the password or a proof is sent. A note the file could not
// take is kept in memory for the run (and the check fails with ProtectionNotSaved).
// A bare host name on the default port 110 (popport left as it is) is checked over TLS
// only, unless its server is reached over loopback: implicit TLS on 995 first, STLS on 110
// beside it (raceForTls), or straight to the port that gave TLS (or SCRAM) before; a server
// offering neither gets nothing secret (ClearNotAllowed). The forms pop3://host and
// host:port, and a popport other than 110, allow the clear, as POP3 always did.
class Tarvik final : public Pop3Control {
public:
    static constexpr int DefaultPort = 110;
    static constexpr int DefaultTimeout = 30;

    Tarvik() = default;
    ~Tarvik() override;
    Tarvik(const Tarvik &) = delete;
    Tarvik &operator=(const Tarvik &) = delete;

    void setPophostname(const QString &host) override { m_host = host; }
    void setPopusername(const QString &user) override { m_user = user; }
    void setPoppassword(const QString &password) override { m_password = password; }
    // Clamped to 1..3600 seconds.
    void setPoptimeout(int seconds) override { m_timeout = qBound(1, seconds, 3600); }
    // 1..65535; anything else restores the default.
    void setPopport(int port) { m_port = (port >= 1 && port <= 65535) ? port : DefaultPort; }

    // Authorities trusted besides the system's for TLS certificates. Tests use this for a
    // test authority; the program itself trusts the system store only.
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates)
    {
        m_extraCas = certificates;
    }

    // Where the protection each server gave is remembered; empty (the default) is
    // ProtectionStore::defaultPath() as the environment says at each check. Tests point it
    // into a temporary folder.
    void setProtectionFile(const QString &path) { m_protectionFile = path; }

    // Fixes the SCRAM client nonce, so that a test can play a recorded exchange; empty
    // (the default) draws a random one for every check.
    void setScramNonce(const QByteArray &nonce) { m_scramNonce = nonce; }

    QString pophostname() const { return m_host; }
    QString popusername() const { return m_user; }
    int poptimeout() const { return m_timeout; }
    int popport() const { return m_port; }

    // Runs one check. Returns at once with code Busy if a check is already running (for
    // example when called from a timer while the first one waits).
    void popCheck() override;
    // Releases the connection. A check never leaves one open, so this only matters if a
    // check is interrupted; it is a no-op while a check runs and safe to call any time.
    void popClose() override;

    QString popStatus() const override { return m_status; }
    int popError() const override { return m_error; }
    // The message count of the last successful check; 0 after a failed one.
    qint64 popCount() const override { return m_count; }

private:
    QString m_host;
    QString m_user;
    QString m_password;
    int m_timeout = DefaultTimeout;
    int m_port = DefaultPort;
    QList<QSslCertificate> m_extraCas;
    QByteArray m_scramNonce;
    QString m_protectionFile;

    // By ProtectionStore::key(): what servers gave that the file could not take.
    static constexpr int MaxUnsaved = 64;
    QHash<QByteArray, Protection> m_unsaved;
    bool remembered(const ProtectionStore &store, const ServerAddress &address,
                    Protection *level) const;
    void keepUnsaved(const ServerAddress &address, Protection level);

    QString m_status;
    int m_error = 0; // 0 with an empty status until the first check
    qint64 m_count = 0;

    bool m_checking = false;
    // The channel of the running check, so the destructor can cancel it.
    std::shared_ptr<Pop3Channel> m_channel;
    // Cleared by the destructor; a check that outlives its Tarvik sees it and leaves the
    // object alone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
