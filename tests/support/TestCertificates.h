#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A test certificate authority and server certificates signed by it (or not), made once
// per test run with the openssl command in a temporary directory. Keys are EC P-256.
//   localhost       DNS:localhost, IP:127.0.0.1, 127.0.0.2, ::1; valid now
//   name-only       DNS:localhost only (no IP)
//   expired         like localhost, valid 2020 to 2021
//   not-yet-valid   like localhost, valid from 2090
//   self-signed     like localhost, but its own issuer
//   wrong-name      DNS:mail.wrong.invalid, IP:192.0.2.7
//   wildcard        DNS:*.test.invalid
//   short-wildcard  DNS:*.invalid
//   partial-wildcard DNS:m*.test.invalid
//   cn-beside-san   subject CN=localhost, DNS:other.invalid
//   cn-only         subject CN=localhost, no subjectAltName
//   test-names      DNS:mail.test, filtered.test, dual.test (a network namespace's names)
class TestCertificates {
public:
    struct Identity {
        QSslCertificate certificate;
        QSslKey key;
        QString certificateFile; // PEM
        QString keyFile;         // PEM, unencrypted
        bool isNull() const { return certificate.isNull() || key.isNull(); }
    };

    // Made on first use; check errorString() (empty when all is well).
    static const TestCertificates &instance();

    QString errorString() const { return m_error; }
    QSslCertificate authority() const { return m_authority; }
    QString authorityFile() const;
    Identity identity(const QString &name) const;
    static QStringList names();

private:
    TestCertificates();
    bool make();
    bool openssl(const QStringList &arguments);
    bool makeIdentity(const QString &name, const QString &subject, const QString &altNames,
                      const QString &from, const QString &until, bool selfSigned);

    QTemporaryDir m_dir;
    QSslCertificate m_authority;
    QString m_error;
};
