#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "image/image_conversion.h"
#include "image/image_conversion_platform.h"

extern char** environ;

namespace quorvel {

namespace {

constexpr const char* kShellPath = "/bin/sh";
constexpr const char* kConverterCommand = "./hex55 -a quorvel.out -o LSB.tmp -o MSB.tmp";

}  // namespace

const char* converterFileName() {
  return "hex55";
}
const char* programFileName() {
  return "ZambrioQUORVEL";
}

void runConverter() {
  std::string shell = "sh";
  std::string option = "-c";
  std::string command = kConverterCommand;
  char* argv[] = {shell.data(), option.data(), command.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, kShellPath, nullptr, nullptr, argv, environ) != 0) return;
  // The exit status does not count: whether both temporary files open afterwards does.
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

namespace detail {

bool entryExists(const char* name) {
  struct stat info;
  return ::stat(name, &info) == 0;
}

void deleteFile(const char* name) {
  ::unlink(name);
}

}  // namespace detail

}  // namespace quorvel
