#include "Pop3Reply.h"

#include <QStringDecoder>

#include <limits>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Does the line start with the indicator (any letter case) followed by a blank or the end?
bool startsWithIndicator(const QByteArray &line, const char *indicator, int length)
{
    if (line.size() < length)
        return false;
    if (qstrnicmp(line.constData(), indicator, length) != 0)
        return false;
    return line.size() == length || isBlank(line.at(length));
}

qsizetype skipBlanks(const QByteArray &text, qsizetype from)
{
    while (from < text.size() && isBlank(text.at(from)))
        ++from;
    return from;
}

// resp-code = "[" resp-level *("/" resp-level) "]", where a level is one or more printable
// ASCII characters other than "[", "]", "/" and space.
bool isResponseCode(const QByteArray &inner)
{
    if (inner.isEmpty())
        return false;
    bool levelEmpty = true;
    for (const char c : inner) {
        if (c == '/') {
            if (levelEmpty)
                return false;
            levelEmpty = true;
            continue;
        }
        if (c <= ' ' || c > '~' || c == '[' || c == ']')
            return false;
        levelEmpty = false;
    }
    return !levelEmpty;
}

// Controls (C0, DEL, C1), format characters such as bidi overrides, line and paragraph
// separators, lone surrogates, unassigned and private-use code points: none of them has a
// glyph everyone agrees on, and some rearrange or break the line they are in.
bool isShown(char32_t code)
{
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
        return false;
    default:
        return true;
    }
}

} // namespace

Pop3Reply Pop3Reply::parse(const QByteArray &line)
{
    Pop3Reply reply;
    qsizetype pos = 0;
    if (startsWithIndicator(line, "+OK", 3)) {
        reply.status = Status::Ok;
        pos = 3;
    } else if (startsWithIndicator(line, "-ERR", 4)) {
        reply.status = Status::Err;
        pos = 4;
    } else {
        return reply;
    }

    pos = skipBlanks(line, pos);
    if (pos < line.size() && line.at(pos) == '[') {
        const qsizetype close = line.indexOf(']', pos + 1);
        if (close > pos) {
            const QByteArray inner = line.mid(pos + 1, close - pos - 1);
            if (isResponseCode(inner)) {
                reply.code = inner;
                pos = skipBlanks(line, close + 1);
            }
        }
    }
    reply.text = line.mid(pos);
    return reply;
}

bool Pop3Reply::parseStatCount(const QByteArray &text, qint64 *count)
{
    constexpr qint64 maxCount = std::numeric_limits<qint32>::max();
    qsizetype pos = 0;
    qint64 value = 0;
    while (pos < text.size() && isDigit(text.at(pos))) {
        value = value * 10 + (text.at(pos) - '0');
        if (value > maxCount)
            return false;
        ++pos;
    }
    if (pos == 0)
        return false;

    // The maildrop size: its value does not matter here, only that it is a number. It
    // cannot be longer than the line, so there is nothing to overflow.
    if (pos >= text.size() || text.at(pos) != ' ')
        return false;
    pos = skipBlanks(text, pos);
    const qsizetype sizeStart = pos;
    while (pos < text.size() && isDigit(text.at(pos)))
        ++pos;
    if (pos == sizeStart)
        return false;
    // Servers may add more after the size, separated by a blank.
    if (pos < text.size() && !isBlank(text.at(pos)))
        return false;

    if (count)
        *count = value;
    return true;
}

QString Pop3Reply::displayText(const QByteArray &text, int maxChars)
{
    if (maxChars <= 0)
        return QString();

    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(text);
    if (utf8.hasError())
        decoded = QString::fromLatin1(text);

    // Whole code points, so that characters beyond U+FFFF are judged by what they are.
    QString clean;
    clean.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QChar c = decoded.at(i);
        const bool pair =
            c.isHighSurrogate() && i + 1 < decoded.size() && decoded.at(i + 1).isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(c, decoded.at(i + 1)) : c.unicode();
        if (isShown(code))
            clean += pair ? decoded.mid(i, 2) : QString(c);
        else
            clean += QLatin1Char(' ');
        if (pair)
            ++i;
    }
    clean = clean.simplified();

    if (clean.size() > maxChars) {
        clean.truncate(maxChars - 1);
        // Do not leave half a surrogate pair before the ellipsis.
        if (!clean.isEmpty() && clean.back().isHighSurrogate())
            clean.chop(1);
        clean = clean.trimmed() + QChar(0x2026);
    }
    return clean;
}
