#pragma once

#include <cstdint>

// The fast timing of the test-only builds of the programs: their entry point scales the
// timing table by the whole number in QUORVEL_TIME_DIVISOR before the program runs. The
// shipped programs never read it.
namespace quorvel::testing {

inline constexpr const char* kTimeDivisorVariable = "QUORVEL_TIME_DIVISOR";

// 1 (real timing) when the variable is unset or not a whole number from 1 to 1000000.
std::uint32_t timeDivisorFromEnvironment();

}  // namespace quorvel::testing
