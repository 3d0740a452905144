#include "Pop3Run.h"

#include "AddressRace.h"
#include "Pop3Channel.h"
#include "TlsAttempt.h"

namespace {

using Result = Pop3Channel::Result;

// How far a path got before it failed: 0 not connected, 1 a conversation, 2 a TLS
// handshake (a certificate was judged).
int plainStage(const Pop3Outcome &outcome, bool greeted)
{
    if (outcome.code >= Pop3Code::TlsFailed && outcome.code <= Pop3Code::StlsFailed)
        return 2;
    return greeted ? 1 : 0;
}

Pop3Outcome rivalFailure(const TlsAttempt &rival, const Pop3SessionSettings &settings)
{
    if (rival.reachedHandshake())
        return Pop3Session::notEncrypted(rival.failure(), false, settings.timeoutSeconds,
                                         rival.tlsErrors(), rival.errorString());
    return Pop3Session::notConnected(rival.failure(), settings.address.host(), rival.errorString());
}

// Waits until the rival has verified or failed, or the deadline passed.
Result awaitSettled(Pop3Channel &channel, const TlsAttempt &rival, QDeadlineTimer deadline)
{
    return channel.waitFor(
        [&rival]() -> std::optional<Result> {
            if (rival.hasSettled())
                return Result::Ok;
            return std::nullopt;
        },
        deadline);
}

// The same, for at most the check's timeout, as every wait: a rival that has not settled
// by then is given up.
Result awaitSettled(Pop3Channel &channel, TlsAttempt &rival, int timeoutMs)
{
    const Result result = awaitSettled(channel, rival, QDeadlineTimer(timeoutMs));
    if (result == Result::TimedOut)
        rival.withdraw();
    return result;
}

} // namespace

Pop3Run runSession(Pop3Channel &channel, const Pop3SessionSettings &settings)
{
    Pop3Session session(channel, settings);
    const Pop3Outcome outcome = session.run();
    return {outcome, settings.address, session.given()};
}

Pop3Run raceForTls(Pop3Channel &channel, const Pop3SessionSettings &settings)
{
    const int timeoutMs = settings.timeoutSeconds * 1000;
    Pop3SessionSettings secure = settings;
    secure.address = settings.address.withImplicitTls();
    TlsAttempt rival(secure.address.host(), secure.address.port(), settings.extraCas, timeoutMs);
    QObject::connect(&rival, &TlsAttempt::changed, &channel, &Pop3Channel::wake,
                     Qt::UniqueConnection);
    // The channel outlives the rival: it must not keep pointing at it.
    const struct Forget {
        Pop3Channel &channel;
        ~Forget() { channel.setRival(nullptr); }
    } forget{channel};
    rival.start();
    const Result early =
        awaitSettled(channel, std::as_const(rival), QDeadlineTimer(AddressRace::AttemptDelayMs));
    if (early == Result::Cancelled)
        return {Pop3Session::notConnected(early, settings.address.host(), QString()),
                settings.address, Protection::None};

    if (rival.state() != TlsAttempt::State::Verified) {
        if (!rival.hasSettled())
            channel.setRival(&rival);
        Pop3Session plain(channel, settings);
        const Pop3Outcome outcome = plain.run();
        if (outcome.code == Pop3Code::Cancelled && !channel.isSuperseded())
            return {outcome, settings.address, Protection::None};
        // Port 110 took the check: its outcome stands, unless all it found was a server
        // without TLS while 995 had a certificate to judge.
        if (channel.hasClaimed() && !channel.isSuperseded()) {
            if (outcome.code == Pop3Code::ClearNotAllowed &&
                rival.state() == TlsAttempt::State::Failed && !rival.tlsErrors().isEmpty())
                return {rivalFailure(rival, settings), settings.address, Protection::None};
            return {outcome, settings.address, plain.given()};
        }
        if (!channel.isSuperseded() && awaitSettled(channel, rival, timeoutMs) == Result::Cancelled)
            return {outcome, settings.address, Protection::None};
        if (rival.state() != TlsAttempt::State::Verified) {
            const int rivalStage = rival.reachedHandshake() ? 2 : 0;
            if (rivalStage > plainStage(outcome, plain.greeted()))
                return {rivalFailure(rival, settings), settings.address, Protection::None};
            return {outcome, settings.address, Protection::None};
        }
    }
    // Implicit TLS took the check: the session starts at the greeting.
    channel.adopt(rival.takeSocket());
    return runSession(channel, secure);
}
