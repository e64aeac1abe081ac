#pragma once

namespace quorvel::cli {

// Records the first interrupt (a signal number), stops a running converter and signals the
// cancel event of the download in progress, if any. Lock-free: called from a signal handler on
// POSIX and from the console control thread on Windows.
void recordInterrupt(int signalNumber);

}  // namespace quorvel::cli
