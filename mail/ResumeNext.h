#pragma once

#include <utility>

// The check cycle and the scheduler tick run each of their statements through this guard:
// a statement that throws is dropped and the caller goes on with the next one, and a
// condition whose evaluation throws counts as true, so its "then" branch runs.
namespace ResumeNext {

template <typename Statement> bool step(Statement &&statement) noexcept
{
    try {
        std::forward<Statement>(statement)();
        return true;
    } catch (...) {
        return false;
    }
}

template <typename Condition> bool test(Condition &&condition) noexcept
{
    try {
        return static_cast<bool>(std::forward<Condition>(condition)());
    } catch (...) {
        return true;
    }
}

} // namespace ResumeNext
