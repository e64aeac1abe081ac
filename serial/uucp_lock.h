#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// Where serial programs of the UUCP tradition (terminal programs, modem and fax tools) leave
// a lock file LCK..<device> holding their process id while they use a port.
inline const std::vector<std::string> kUucpLockDirectories = {"/run/lock", "/var/lock"};

// True when one of `directories` holds a lock file for the device `devicePath` leads to
// (symbolic links followed) that names a process still running. The process id is read in
// either form in use: ASCII digits, or a 4-byte binary number.
bool uucpLockHeld(std::string_view devicePath,
                  const std::vector<std::string>& directories = kUucpLockDirectories);

}  // namespace quorvel
