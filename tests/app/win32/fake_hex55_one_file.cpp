// Stands in for hex55.exe when the conversion goes wrong half-way: writes LSB.tmp only.
#include <cstdio>

int main() {
  std::FILE* file = std::fopen("LSB.tmp", "w");
  if (file == nullptr) return 1;
  std::fputs("@0000\n", file);
  return std::fclose(file) == 0 ? 0 : 1;
}
