// What a check leaves behind in freed memory: no block that the program's own code frees
// may still hold the password, a login line carrying it, or a proof made from it. This
// executable replaces free() and realloc() to look into every block the window's thread
// releases while a check runs; blocks that Qt's socket and hash classes release from their
// own buffers are out of the program's reach and not counted.
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

bool inExecutable(void *address)
{
    static Dl_info self = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<void *>(&inExecutable), &info);
        return info;
    }();
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fbase == self.dli_fbase;
}

// Released by the program's own code. QByteArray's destructor is inline, and QtCore's
// deallocation jumps straight into free(), so free() returns into the program for a
// QByteArray the program drops. Objects that Qt's classes delete (the state of a hash,
// which holds what was hashed) come through operator delete and are not the program's.
thread_local bool viaDelete = false;
bool releasedByProgram()
{
    if (viaDelete)
        return false;
    void *frames[3] = {};
    return backtrace(frames, 3) == 3 && inExecutable(frames[2]);
}

void inspect(void *block)
{
    if (!block || !watching.load(std::memory_order_relaxed) || inside ||
        !pthread_equal(pthread_self(), watchedThread))
        return;
    inside = true;
    const size_t size = malloc_usable_size(block);
    for (const QByteArray &needle : std::as_const(needles)) {
        if (memmem(block, size, needle.constData(), size_t(needle.size())) && releasedByProgram()) {
            if (hits.fetch_add(1) == 0) {
                void *frames[3] = {};
                Dl_info info{};
                if (backtrace(frames, 3) == 3 && dladdr(frames[2], &info) && info.dli_sname)
                    std::snprintf(firstHit, sizeof firstHit, "%s left in a block freed by %s",
                                  needle.constData(), info.dli_sname);
            }
            break;
        }
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

void operator delete(void *block) noexcept
{
    viaDelete = true;
    free(block);
    viaDelete = false;
}

void operator delete(void *block, std::size_t) noexcept
{
    operator delete(block);
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
