#pragma once

#include "mail/TickSource.h"

// A tick source the test moves by hand.
class FakeTicks final : public TickSource {
public:
    explicit FakeTicks(qint64 start = 1000)
        : m_now(start)
    {
    }
    qint64 now() const override { return m_now; }
    void set(qint64 now) { m_now = now; }
    void advance(qint64 ms) { m_now += ms; }

private:
    qint64 m_now;
};
