// Mailbox checks over any server text (host:port, pop3://, pop3s://), for
// bench/roundtrips.sh.
//   bench_tls_check --server TEXT [--ca FILE] [--user U] [--password W] [--repeat N]
// One check to warm up, then N checks in this process, each one's time in milliseconds on
// a line of its own. --ca adds a PEM authority to the trusted ones, for a test server's
// certificate. Exits 1 if any check fails, saying why on stderr.
#include "mail/Tarvik.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

bool check(Tarvik &tarvik)
{
    tarvik.popCheck();
    tarvik.popClose();
    if (tarvik.popError() == 0)
        return true;
    std::fprintf(stderr, "bench_tls_check: check failed (%d): %s\n", tarvik.popError(),
                 qPrintable(tarvik.popStatus()));
    return false;
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
    const QCommandLineOption ca(QStringLiteral("ca"), QStringLiteral("Extra trusted authority."),
                                QStringLiteral("file"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Login."),
                                  QStringLiteral("login"), QStringLiteral("testuser"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("Password."),
                                      QStringLiteral("password"), QStringLiteral("secret"));
    const QCommandLineOption repeat(QStringLiteral("repeat"), QStringLiteral("Timed checks."),
                                    QStringLiteral("n"), QStringLiteral("10"));
    parser.addOptions({server, ca, user, password, repeat});
    parser.process(app);

    bool ok = false;
    const int runs = parser.value(repeat).toInt(&ok);
    if (!parser.isSet(server) || !ok || runs < 1) {
        std::fprintf(stderr, "bench_tls_check: --server TEXT and --repeat N >= 1 needed\n");
        return 2;
    }

    Tarvik tarvik;
    tarvik.setPophostname(parser.value(server));
    tarvik.setPopusername(parser.value(user));
    tarvik.setPoppassword(parser.value(password));
    tarvik.setPoptimeout(20);
    if (parser.isSet(ca)) {
        QFile file(parser.value(ca));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench_tls_check: cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        tarvik.setExtraCaCertificates(QSslCertificate::fromData(file.readAll(), QSsl::Pem));
    }

    if (!check(tarvik))
        return 1;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!check(tarvik))
            return 1;
        std::printf("%.3f\n", double(clock.nsecsElapsed()) / 1e6);
        std::fflush(stdout);
    }
    return 0;
}
