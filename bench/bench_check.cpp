// Mailbox checks with the real POP3 client, for the benchmark scripts.
//   bench_check (--port P [--host H] | --server TEXT) [--ca FILE] [--user U] [--password W]
//               [--forget] (--once | --repeat N)
//   --once      one check in a fresh process (the driver times the whole process)
//   --repeat N  one check to warm up, then N checks in this process, printing each one's
//               time in milliseconds on a line of its own
// --server takes any server text (host, host:port, pop3://, pop3s://); --ca adds a PEM
// authority to the trusted ones, for a test server's certificate; --forget makes every check
// a first contact (what the server gave is forgotten before each one, so a bare host name
// races its ports 995 and 110 every time). Exits 1 if any check fails, saying
// why on stderr; 2 on a usage error.
#include "mail/Tarvik.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Where the checks note what servers gave; empty when they remember it.
QString forgotten;

bool check(Tarvik &tarvik)
{
    if (!forgotten.isEmpty())
        QFile::remove(forgotten);
    tarvik.popCheck();
    tarvik.popClose();
    if (tarvik.popError() == 0)
        return true;
    std::fprintf(stderr, "bench_check: check failed (%d): %s\n", tarvik.popError(),
                 qPrintable(tarvik.popStatus()));
    return false;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_check (--port P [--host H] | --server TEXT) [--ca FILE] "
                         "[--user U] [--password W] [--forget] (--once | --repeat N)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times mailbox checks."));
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Server text."),
                                    QStringLiteral("text"));
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("Server."),
                                  QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port."),
                                  QStringLiteral("port"));
    const QCommandLineOption ca(QStringLiteral("ca"), QStringLiteral("Extra trusted authority."),
                                QStringLiteral("file"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Login."),
                                  QStringLiteral("user"), QStringLiteral("testuser"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("Password."),
                                      QStringLiteral("password"), QStringLiteral("secret"));
    const QCommandLineOption forget(QStringLiteral("forget"),
                                    QStringLiteral("Every check a first contact."));
    const QCommandLineOption once(QStringLiteral("once"), QStringLiteral("One check."));
    const QCommandLineOption repeat(QStringLiteral("repeat"),
                                    QStringLiteral("Timed checks in this process."),
                                    QStringLiteral("n"));
    parser.addOptions({server, host, port, ca, user, password, forget, once, repeat});
    parser.process(app);

    bool portOk = false;
    const int portNumber = parser.value(port).toInt(&portOk);
    bool countOk = false;
    const int count = parser.value(repeat).toInt(&countOk);
    const bool byPort = portOk && portNumber >= 1 && portNumber <= 65535;
    if (byPort == parser.isSet(server) || parser.isSet(once) == parser.isSet(repeat) ||
        (parser.isSet(repeat) && (!countOk || count < 1)))
        return usage();

    Tarvik tarvik;
    // What the benchmark servers give is not the user's to remember.
    const QTemporaryDir state;
    tarvik.setProtectionFile(state.filePath(QStringLiteral("servers")));
    if (parser.isSet(forget))
        forgotten = state.filePath(QStringLiteral("servers"));
    tarvik.setPophostname(byPort ? parser.value(host) : parser.value(server));
    if (byPort)
        tarvik.setPopport(portNumber);
    tarvik.setPopusername(parser.value(user));
    tarvik.setPoppassword(parser.value(password));
    tarvik.setPoptimeout(20);
    if (parser.isSet(ca)) {
        QFile file(parser.value(ca));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench_check: cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        tarvik.setExtraCaCertificates(QSslCertificate::fromData(file.readAll(), QSsl::Pem));
    }

    if (parser.isSet(once))
        return check(tarvik) ? 0 : 1;
    if (!check(tarvik))
        return 1;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!check(tarvik))
            return 1;
        std::printf("%.3f\n", double(clock.nsecsElapsed()) / 1e6);
        std::fflush(stdout);
    }
    return 0;
}
