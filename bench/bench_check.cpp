// One mailbox check with the real POP3 client, for bench/check_vs_curl.sh.
//   bench_check --port P [--host H] [--user U] [--password W] --once
//       one check in a fresh process (the driver times the whole process)
//   bench_check --port P [...] --repeat N
//       one check to warm up, then N checks in this process, printing each one's time in
//       milliseconds on a line of its own
// Exits 1 if any check fails, saying why on stderr.
#include "mail/Tarvik.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

bool check(Tarvik &tarvik)
{
    tarvik.popCheck();
    if (tarvik.popError() == 0)
        return true;
    std::fprintf(stderr, "bench_check: check failed (%d): %s\n", tarvik.popError(),
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
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("Server."),
                                  QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port."),
                                  QStringLiteral("port"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Login."),
                                  QStringLiteral("user"), QStringLiteral("testuser"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("Password."),
                                      QStringLiteral("password"), QStringLiteral("secret"));
    const QCommandLineOption once(QStringLiteral("once"), QStringLiteral("One check."));
    const QCommandLineOption repeat(QStringLiteral("repeat"),
                                    QStringLiteral("Timed checks in this process."),
                                    QStringLiteral("n"));
    parser.addOptions({host, port, user, password, once, repeat});
    parser.process(app);

    bool portOk = false;
    const int portNumber = parser.value(port).toInt(&portOk);
    bool countOk = false;
    const int count = parser.value(repeat).toInt(&countOk);
    if (!portOk || portNumber < 1 || portNumber > 65535 ||
        parser.isSet(once) == parser.isSet(repeat) || (parser.isSet(repeat) && count < 1)) {
        std::fprintf(stderr, "usage: bench_check --port P [--host H] [--user U] "
                             "[--password W] (--once | --repeat N)\n");
        return 2;
    }

    Tarvik tarvik;
    tarvik.setPophostname(parser.value(host));
    tarvik.setPopport(portNumber);
    tarvik.setPopusername(parser.value(user));
    tarvik.setPoppassword(parser.value(password));
    tarvik.setPoptimeout(10);

    if (parser.isSet(once))
        return check(tarvik) ? 0 : 1;

    if (!check(tarvik))
        return 1;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        if (!check(tarvik))
            return 1;
        std::printf("%.3f\n", double(clock.nsecsElapsed()) / 1e6);
    }
    return 0;
}
