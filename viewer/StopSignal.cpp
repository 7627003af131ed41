#include "StopSignal.h"

#include <csignal>

namespace
{
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int)
{
    stopSignal = 1;
}
} // namespace

void installStopSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested()
{
    return stopSignal != 0;
}
