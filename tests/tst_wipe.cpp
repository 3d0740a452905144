// What a check leaves behind in freed memory: no block released while a check runs may still
// hold the password, a login line carrying it, or a proof made from it, whoever releases it:
// the program's own code, or Qt's classes on its behalf (the hash classes keep what they
// hashed, QMessageAuthenticationCode a copy of its key). This executable replaces free() and
// realloc() to look into every block the window's thread releases. Only the socket's own
// buffers (QIODevice's ring buffers, the TLS backend), which hold the lines as sent, are out of
// the program's reach and not counted. A block that holds a secret is cleared before it is
// released, so its bytes cannot come back as residue in a block that is released later.
#include "FakePop3Server.h"
#include "TarvikCase.h"
#include "TestCertificates.h"
#include "mail/Tarvik.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <pthread.h>

namespace {

using Reply = FakePop3Reply;
using Script = FakePop3Script;

using FreeFunction = void (*)(void *);
using ReallocFunction = void *(*)(void *, size_t);
FreeFunction realFree = nullptr;
ReallocFunction realRealloc = nullptr;

std::atomic<bool> watching{false};
pthread_t watchedThread;
thread_local bool inside = false;
// What must not be found, and what was: fixed arrays, so that looking allocates nothing.
QByteArrayList needles;
std::atomic<int> hits{0};
char firstHit[256] = {};

Dl_info self()
{
    static Dl_info info = [] {
        Dl_info found{};
        dladdr(reinterpret_cast<void *>(&self), &found);
        return found;
    }();
    return info;
}

// Who releases the block: the first named function past free() or realloc() (and operator
// delete). *socket tells whether it is released from inside Qt's socket or TLS code, before
// control comes back to this executable.
const char *releaser(bool *socket)
{
    void *frames[32] = {};
    const int count = backtrace(frames, 32);
    const char *first = nullptr;
    bool past = false;
    *socket = false;
    for (int i = 1; i < count; ++i) {
        Dl_info info{};
        if (!dladdr(frames[i], &info))
            continue;
        const char *name = info.dli_sname ? info.dli_sname : "";
        if (!past) {
            past = std::strcmp(name, "free") == 0 || std::strcmp(name, "realloc") == 0;
            continue;
        }
        if (std::strncmp(name, "_ZdlPv", 6) == 0)
            continue;
        if (!first && *name)
            first = name;
        if (info.dli_fbase == self().dli_fbase)
            break;
        const char *file = info.dli_fname ? info.dli_fname : "";
        if (std::strstr(name, "QIODevice") || std::strstr(name, "QAbstractSocket") ||
            std::strstr(name, "QSslSocket") || std::strstr(file, "opensslbackend") ||
            std::strstr(file, "libssl") || std::strstr(file, "libcrypto")) {
            *socket = true;
            break;
        }
    }
    return first ? first : "?";
}

void inspect(void *block)
{
    if (!block || !watching.load(std::memory_order_relaxed) || inside ||
        !pthread_equal(pthread_self(), watchedThread))
        return;
    inside = true;
    const size_t size = malloc_usable_size(block);
    for (const QByteArray &needle : std::as_const(needles)) {
        if (!memmem(block, size, needle.constData(), size_t(needle.size())))
            continue;
        bool socket = false;
        const char *by = releaser(&socket);
        if (!socket && hits.fetch_add(1) == 0)
            std::snprintf(firstHit, sizeof firstHit, "%s left in a block freed by %s",
                          needle.constData(), by);
        std::memset(block, 0, size);
        break;
    }
    inside = false;
}

} // namespace

extern "C" void free(void *block)
{
    inspect(block);
    if (!realFree)
        realFree = reinterpret_cast<FreeFunction>(dlsym(RTLD_NEXT, "free"));
    if (realFree)
        realFree(block);
}

extern "C" void *realloc(void *block, size_t size)
{
    if (!realRealloc)
        realRealloc = reinterpret_cast<ReallocFunction>(dlsym(RTLD_NEXT, "realloc"));
    // A block that moves is released: look into it first.
    if (block && size > malloc_usable_size(block))
        inspect(block);
    return realRealloc(block, size);
}

class TestWipe : public QObject {
    Q_OBJECT

    QTemporaryDir m_state;

private slots:
    void initTestCase()
    {
        QVERIFY(m_state.isValid());
        void *frames[2];
        backtrace(frames, 2); // loads the unwinder now, not inside free()
        watchedThread = pthread_self();
    }
    void nothingLeftBehind_data();
    void nothingLeftBehind();
};

void TestWipe::nothingLeftBehind_data()
{
    QTest::addColumn<FakePop3Script>("script");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("nonce");
    QTest::addColumn<QByteArrayList>("secrets");
    QTest::addColumn<bool>("tls");

    const QString pw = QString::fromLatin1(TarvikCase::password);
    const QByteArray pw8 = pw.toLatin1();
    QTest::newRow("USER and PASS")
        << Script::mailbox(2) << "alice" << pw << QByteArray() << QByteArrayList{pw8} << false;
    QTest::newRow("USER and PASS pipelined")
        << Script::mailbox(2).capa({"USER", "PIPELINING"}) << "alice" << pw << QByteArray()
        << QByteArrayList{pw8} << false;
    const QByteArray stamp = "<1896.697170952@dbc.mtview.ca.us>";
    QTest::newRow("APOP")
        << Script::mailbox(2)
               .greet(Reply::line("+OK ready " + stamp))
               .on("APOP", Reply::line("+OK"))
        << "alice" << pw << QByteArray()
        << QByteArrayList{pw8,
                          QCryptographicHash::hash(stamp + pw8, QCryptographicHash::Md5).toHex()}
        << false;
    const QByteArray cram =
        QMessageAuthenticationCode::hash(stamp, pw8, QCryptographicHash::Md5).toHex();
    QTest::newRow("CRAM-MD5") << Script::mailbox(2)
                                     .capa({"SASL CRAM-MD5"})
                                     .exchange(
                                         "AUTH CRAM-MD5",
                                         {Reply::line("+ " + stamp.toBase64()), Reply::line("+OK")})
                              << "alice" << pw << QByteArray()
                              << QByteArrayList{pw8, cram, ("alice " + cram).toBase64()} << false;
    // RFC 7677's exchange: the proof and the whole client-final message as sent.
    const QByteArray final = "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                             "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
    QTest::newRow("SCRAM-SHA-256")
        << Script::mailbox(2)
               .capa({"SASL SCRAM-SHA-256"})
               .exchange("AUTH SCRAM-SHA-256",
                         {Reply::line("+ " + QByteArray("r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfux"
                                                        "FIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ"
                                                        "==,i=4096")
                                                 .toBase64()),
                          Reply::line("+ " + QByteArray("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsj"
                                                        "l95G4=")
                                                 .toBase64()),
                          Reply::line("+OK")})
        << "user"
        << "pencil" << QByteArray("rOprNGfwEbeRWgbNEkqO")
        << QByteArrayList{"pencil",
                          "dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=", final.toBase64()}
        << false;
    // Under TLS, what Qt's socket keeps of the plain text is its own.
    QTest::newRow("AUTH PLAIN under TLS")
        << Script::mailbox(2).capa({"SASL PLAIN"}).on("AUTH PLAIN", Reply::line("+OK")) << "alice"
        << pw << QByteArray() << QByteArrayList{pw8, (QByteArray("\0alice\0", 7) + pw8).toBase64()}
        << true;
}

void TestWipe::nothingLeftBehind()
{
    QFETCH(FakePop3Script, script);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, nonce);
    QFETCH(QByteArrayList, secrets);
    QFETCH(bool, tls);

    const TestCertificates &pki = TestCertificates::instance();
    const TestCertificates::Identity id = pki.identity(QStringLiteral("localhost"));
    QVERIFY(!id.isNull());
    FakePop3Server fake(script, FakeTls{{id.certificate}, id.key, tls});
    QVERIFY(fake.isListening());
    Tarvik tarvik;
    tarvik.setExtraCaCertificates({pki.authority()});
    tarvik.setPophostname(tls ? QStringLiteral("pop3s://%1:%2").arg(fake.host()).arg(fake.port())
                              : fake.host());
    tarvik.setPopport(fake.port());
    tarvik.setPopusername(user);
    tarvik.setPoppassword(password);
    tarvik.setScramNonce(nonce);
    tarvik.setPoptimeout(5);
    tarvik.setProtectionFile(m_state.filePath(QString::number(fake.port())));

    needles = secrets;
    hits = 0;
    watching = true;
    tarvik.popCheck();
    tarvik.popClose();
    watching = false;

    QCOMPARE(tarvik.popError(), 0);
    QCOMPARE(tarvik.popCount(), 2);
    // The secret did travel, so the search would have found a leftover copy.
    bool sent = false;
    for (const QByteArray &secret : std::as_const(secrets))
        sent =
            sent || fake.received().contains(secret) || fake.received().contains(secret.toBase64());
    QVERIFY(sent);
    QVERIFY2(hits == 0, firstHit);
}

QTEST_GUILESS_MAIN(TestWipe)
#include "tst_wipe.moc"
