#pragma once

#include <QByteArray>
#include <QString>

// How well a check kept the password from others on the way: sent as it is, an APOP or
// CRAM-MD5 digest, a SCRAM proof, or anything under TLS (STLS or implicit). A server that
// once gave a level must give one at least as strong again before the password or a proof
// goes to it; APOP and CRAM-MD5 are equally strong (strength()).
enum class Protection {
    None,
    Apop,
    CramMd5,
    Scram,
    Tls,
};

// 0 for None, 1 for APOP and CRAM-MD5, 2 for SCRAM, 3 for TLS.
int strength(Protection level);
inline bool weaker(Protection level, Protection than)
{
    return strength(level) < strength(than);
}

namespace ProtectionText {

// The word for a level in the state file: "none", "apop", "cram-md5", "scram", "tls".
QByteArray word(Protection level);
// The level for a word of word(); false when it is none of them.
bool fromWord(const QByteArray &word, Protection *level);
// The status of a check stopped because the server no longer offers level, e.g.
// "TLS no longer offered; password not sent.".
QString lowered(Protection level);

} // namespace ProtectionText
