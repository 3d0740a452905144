#pragma once

#include <QString>
#include <array>

// The change log: one entry per change of the message count, newest at row logIdx().
// Rows 1..logIdx() hold the entries oldest first; row 0 is never written. When all 100
// rows are used, the oldest entry is dropped and the rest move down one row, so the log
// always keeps the newest 100 changes and logIdx() stays at 100.
class ChangeLog {
public:
    static constexpr int LastRow = 100;

    int logIdx() const { return m_logIdx; }
    // Throw std::out_of_range for a row outside 0..100.
    const QString &logText(int row) const;
    const QString &logTime(int row) const;

    void record(const QString &text, const QString &time);
    void clear();

private:
    static int checkedRow(int row);

    int m_logIdx = 0;
    std::array<QString, LastRow + 1> m_logText;
    std::array<QString, LastRow + 1> m_logTime;
};

// The entry text for a change from oldCount to newCount: "1 New Message", "3 New Messages",
// "1 Message Less", "3 Messages Less". Equal counts give "0 New Messages".
QString changeText(qint64 newCount, qint64 oldCount);

namespace Module1 {
// The program's one change log, kept for the whole run.
ChangeLog &changeLog();
} // namespace Module1
