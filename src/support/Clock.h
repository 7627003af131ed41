#pragma once

#include <chrono>

// Microseconds of the steady clock since start: the unit of the terrain's per-frame budgets.
inline double microsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}
