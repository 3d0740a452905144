#include "TestCertificates.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

constexpr int opensslTimeoutMs = 30000;

const char caConfig[] = "[ ca ]\n"
                        "default_ca = test_ca\n"
                        "[ test_ca ]\n"
                        "database = index.txt\n"
                        "new_certs_dir = issued\n"
                        "serial = serial\n"
                        "default_md = sha256\n"
                        "policy = policy_any\n"
                        "copy_extensions = copy\n"
                        "unique_subject = no\n"
                        "[ policy_any ]\n"
                        "commonName = supplied\n";

const QString loopback = QStringLiteral("DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:::1");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

} // namespace

const TestCertificates &TestCertificates::instance()
{
    static const TestCertificates certificates;
    return certificates;
}

QStringList TestCertificates::names()
{
    return {QStringLiteral("localhost"),        QStringLiteral("name-only"),
            QStringLiteral("expired"),          QStringLiteral("not-yet-valid"),
            QStringLiteral("self-signed"),      QStringLiteral("wrong-name"),
            QStringLiteral("wildcard"),         QStringLiteral("short-wildcard"),
            QStringLiteral("partial-wildcard"), QStringLiteral("cn-beside-san"),
            QStringLiteral("cn-only"),          QStringLiteral("test-names")};
}

TestCertificates::TestCertificates()
{
    if (!m_dir.isValid())
        m_error = QStringLiteral("no temporary directory: ") + m_dir.errorString();
    else if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        m_error = QStringLiteral("the openssl command is not installed");
    else
        make();
}

QString TestCertificates::authorityFile() const
{
    return m_dir.filePath(QStringLiteral("ca.pem"));
}

bool TestCertificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(opensslTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        m_error = QStringLiteral("openssl %1 did not finish").arg(arguments.value(0));
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1 failed: %2")
                      .arg(arguments.join(u' '), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool TestCertificates::makeIdentity(const QString &name, const QString &subject,
                                    const QString &altNames, const QString &from,
                                    const QString &until, bool selfSigned)
{
    QStringList request = {QStringLiteral("req"),
                           QStringLiteral("-newkey"),
                           QStringLiteral("ec"),
                           QStringLiteral("-pkeyopt"),
                           QStringLiteral("ec_paramgen_curve:P-256"),
                           QStringLiteral("-nodes"),
                           QStringLiteral("-keyout"),
                           name + QStringLiteral(".key"),
                           QStringLiteral("-subj"),
                           subject};
    if (!altNames.isEmpty())
        request << QStringLiteral("-addext") << QStringLiteral("subjectAltName=") + altNames;
    if (selfSigned)
        return openssl(request + QStringList{QStringLiteral("-x509"), QStringLiteral("-days"),
                                             QStringLiteral("365"), QStringLiteral("-out"),
                                             name + QStringLiteral(".pem")});
    if (!openssl(request + QStringList{QStringLiteral("-new"), QStringLiteral("-out"),
                                       name + QStringLiteral(".csr")}))
        return false;
    return openssl({QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-notext"),
                    QStringLiteral("-config"), QStringLiteral("ca.cnf"), QStringLiteral("-cert"),
                    QStringLiteral("ca.pem"), QStringLiteral("-keyfile"), QStringLiteral("ca.key"),
                    QStringLiteral("-in"), name + QStringLiteral(".csr"), QStringLiteral("-out"),
                    name + QStringLiteral(".pem"), QStringLiteral("-startdate"), from,
                    QStringLiteral("-enddate"), until});
}

bool TestCertificates::make()
{
    if (!m_dir.isValid())
        return false;
    if (!writeFile(m_dir.filePath(QStringLiteral("ca.cnf")), caConfig) ||
        !writeFile(m_dir.filePath(QStringLiteral("index.txt")), QByteArray()) ||
        !writeFile(m_dir.filePath(QStringLiteral("serial")), "1000\n") ||
        !QDir(m_dir.path()).mkpath(QStringLiteral("issued"))) {
        m_error = QStringLiteral("cannot write the authority's files");
        return false;
    }
    if (!openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                  QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                  QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                  QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                  QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("3650"),
                  QStringLiteral("-subj"), QStringLiteral("/CN=Morvex Test CA"),
                  QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                  QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign")}))
        return false;

    // Valid from yesterday for ten years, whatever the clock says.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString format = QStringLiteral("yyyyMMddHHmmss'Z'");
    const QString from = now.addDays(-1).toString(format);
    const QString until = now.addYears(10).toString(format);
    const QString server = QStringLiteral("/CN=morvex test server");
    const QString localhostCn = QStringLiteral("/CN=localhost");
    const bool made =
        makeIdentity(QStringLiteral("localhost"), server, loopback, from, until, false) &&
        makeIdentity(QStringLiteral("name-only"), server, QStringLiteral("DNS:localhost"), from,
                     until, false) &&
        makeIdentity(QStringLiteral("expired"), server, loopback, QStringLiteral("20200101000000Z"),
                     QStringLiteral("20210101000000Z"), false) &&
        makeIdentity(QStringLiteral("not-yet-valid"), server, loopback,
                     QStringLiteral("20900101000000Z"), QStringLiteral("20910101000000Z"), false) &&
        makeIdentity(QStringLiteral("self-signed"), server, loopback, from, until, true) &&
        makeIdentity(QStringLiteral("wrong-name"), server,
                     QStringLiteral("DNS:mail.wrong.invalid,IP:192.0.2.7"), from, until, false) &&
        makeIdentity(QStringLiteral("wildcard"), server, QStringLiteral("DNS:*.test.invalid"), from,
                     until, false) &&
        makeIdentity(QStringLiteral("short-wildcard"), server, QStringLiteral("DNS:*.invalid"),
                     from, until, false) &&
        makeIdentity(QStringLiteral("partial-wildcard"), server,
                     QStringLiteral("DNS:m*.test.invalid"), from, until, false) &&
        makeIdentity(QStringLiteral("cn-beside-san"), localhostCn,
                     QStringLiteral("DNS:other.invalid"), from, until, false) &&
        makeIdentity(QStringLiteral("cn-only"), localhostCn, QString(), from, until, false) &&
        makeIdentity(QStringLiteral("test-names"), server,
                     QStringLiteral("DNS:mail.test,DNS:filtered.test,DNS:dual.test"), from, until,
                     false);
    if (!made)
        return false;
    m_authority = QSslCertificate(readFile(authorityFile()), QSsl::Pem);
    if (m_authority.isNull()) {
        m_error = QStringLiteral("cannot read the test authority back");
        return false;
    }
    return true;
}

TestCertificates::Identity TestCertificates::identity(const QString &name) const
{
    Identity identity;
    identity.certificateFile = m_dir.filePath(name + QStringLiteral(".pem"));
    identity.keyFile = m_dir.filePath(name + QStringLiteral(".key"));
    identity.certificate = QSslCertificate(readFile(identity.certificateFile), QSsl::Pem);
    identity.key = QSslKey(readFile(identity.keyFile), QSsl::Ec, QSsl::Pem);
    return identity;
}
