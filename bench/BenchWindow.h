// Timing the main window on its own thread, for the benchmarks that drive it in-process through
// tests/support/Window.h.
#pragma once

#include "bench/BenchSupport.h"

class CWnd;

// Runs events until the control is enabled. *when is the moment of the change, taken on the
// window's thread as the change is made, not when a later look saw it. False after timeoutMs.
bool WaitUntilEnabled(const CWnd& control, int timeoutMs, Clock::time_point* when);
