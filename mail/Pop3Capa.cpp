#include "Pop3Capa.h"

namespace {

QByteArray firstWord(const QByteArray &line)
{
    qsizetype end = 0;
    while (end < line.size() && line.at(end) != ' ' && line.at(end) != '\t')
        ++end;
    return line.left(end);
}

} // namespace

Pop3Capa::State Pop3Capa::feed(const QByteArray &line)
{
    if (m_state != State::More)
        return m_state;
    if (line == ".") {
        m_state = State::Done;
        return m_state;
    }
    if (m_lines.size() >= MaxLines) {
        m_lines.clear();
        m_state = State::Overflow;
        return m_state;
    }
    const QByteArray unstuffed = line.startsWith('.') ? line.mid(1) : line;
    const QByteArray name = firstWord(unstuffed).toUpper();
    m_lines.append(name + unstuffed.mid(name.size()));
    return m_state;
}

bool Pop3Capa::has(const QByteArray &name) const
{
    const QByteArray wanted = name.toUpper();
    for (const QByteArray &line : m_lines) {
        if (firstWord(line) == wanted)
            return true;
    }
    return false;
}

QByteArrayList Pop3Capa::arguments(const QByteArray &name) const
{
    const QByteArray wanted = name.toUpper();
    for (const QByteArray &line : m_lines) {
        if (firstWord(line) != wanted)
            continue;
        QByteArrayList words = line.simplified().toUpper().split(' ');
        words.removeFirst();
        return words;
    }
    return {};
}
