#pragma once

#include <QByteArray>
#include <QString>

// How well a check kept the password from others on the way, weakest first: sent as it is,
// an APOP digest, a SCRAM proof, or anything under TLS (STLS or implicit). A server that
// once gave a level must give it again before the password or a proof goes to it.
enum class Protection {
    None = 0,
    Apop = 1,
    Scram = 2,
    Tls = 3,
};

namespace ProtectionText {

// The word for a level in the state file: "none", "apop", "scram", "tls".
QByteArray word(Protection level);
// The level for a word of word(); false when it is none of them.
bool fromWord(const QByteArray &word, Protection *level);
// The status of a check stopped because the server no longer gives level, e.g.
// "TLS no longer offered; password not sent.".
QString lowered(Protection level);

} // namespace ProtectionText
