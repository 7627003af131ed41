#pragma once

#include <chrono>

// Microseconds of the steady clock since start: the unit of the terrain's per-frame budgets.
inline double microsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// Adds the microseconds from its making to its end to *total; given no total, it reads no clock.
class ScopedMicros
{
public:
    explicit ScopedMicros(double* total_)
        : total(total_), start(total_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point())
    {
    }
    ~ScopedMicros()
    {
        if (total)
            *total += microsSince(start);
    }
    ScopedMicros(const ScopedMicros&) = delete;
    ScopedMicros& operator=(const ScopedMicros&) = delete;

private:
    double* const total;
    const std::chrono::steady_clock::time_point start;
};
