#pragma once

// Whether the processes a test started have ended, on every platform.
namespace quorvel::testing {

long currentProcessId();

// Waits (a few seconds at most) until process `pid` has ended; a zombie has ended.
bool processEnded(long pid);

}  // namespace quorvel::testing
