#pragma once

// The one bounded "run until the terrain has settled" loop of the tests, benchmarks and tools.

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

// Runs step() until idle() has held after two steps in a row: the build thread has nothing left
// to do and the last step asked for nothing new. While work is pending the build thread gets
// the core for a moment. Returns the number of steps run; throws std::runtime_error when
// maxSteps pass first, so that a test fails (and a benchmark stops) instead of hanging or
// measuring a tree that never settled.
template <class Step, class Idle>
int pumpUntilIdle(Step&& step, Idle&& idle, int maxSteps = 20000)
{
    for (int steps = 1, idleSteps = 0; steps <= maxSteps; ++steps)
    {
        step();
        idleSteps = idle() ? idleSteps + 1 : 0;
        if (idleSteps == 2)
            return steps;
        if (idleSteps == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    throw std::runtime_error("not settled after " + std::to_string(maxSteps) + " steps");
}
