#include "tests/support/time_divisor.h"

#include <cstdlib>

namespace quorvel::testing {

std::uint32_t timeDivisorFromEnvironment() {
  constexpr unsigned long kMaxTimeDivisor = 1000000;
  const char* text = std::getenv(kTimeDivisorVariable);
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > kMaxTimeDivisor) return 1;
  return static_cast<std::uint32_t>(value);
}

}  // namespace quorvel::testing
