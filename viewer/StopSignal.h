#pragma once

// Ctrl+C and termination requests end the viewer's frame loops, so that the terrain's build
// thread is stopped and the engine shut down in order instead of the process dying mid-frame.

// Routes SIGINT and SIGTERM to stopRequested(). Call once, at start.
void installStopSignals();

// Whether a stop signal has arrived. Any thread.
bool stopRequested();
