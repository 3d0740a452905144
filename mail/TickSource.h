#pragma once

#include <QtGlobal>

// Milliseconds since system start, as a 64-bit count that never wraps and keeps counting
// while the machine is suspended, so a check that fell due during a suspend runs at the
// first tick after resume. Tests inject their own source.
class TickSource {
public:
    virtual ~TickSource() = default;
    virtual qint64 now() const = 0;
};

// CLOCK_BOOTTIME on Linux (monotonic, includes suspend); Qt's monotonic clock elsewhere.
class SystemTicks final : public TickSource {
public:
    qint64 now() const override;
};
