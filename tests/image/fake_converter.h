#pragma once

namespace quorvel::testing {

// Writes, in the working directory, a stand-in for the converter that the platform's
// command processor runs as "hex55 ...": it pauses briefly, records its arguments in
// "args.txt" and creates LSB.tmp and MSB.tmp holding "L" and "M".
void writeFakeConverter();

}  // namespace quorvel::testing
