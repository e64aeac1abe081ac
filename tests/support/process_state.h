#pragma once

// Whether the processes a test started have ended, on every platform.
namespace quorvel::testing {

long currentProcessId();

// Waits (a few seconds at most) until process `pid` has ended; a zombie has ended.
bool processEnded(long pid);

// Starts this program again with the one argument `argument`, as a process that may outlive
// its starter; with `ownSession` (POSIX only) in a session and process group of its own.
// Returns its process id, 0 when it could not be started.
long startCopyOfThisProgram(const char* argument, bool ownSession);
// Ends process `pid`, which the test started, at once.
void killProcess(long pid);
// Windows: puts this process into a job object of its own that allows no breakaway, for the
// rest of its life, as a service or a build system may start a program. False elsewhere, or
// when it could not be done.
bool enterJobOfItsOwn();

}  // namespace quorvel::testing
