#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/cli/named_file.h"

// Where quorvel-upgrade converts the image: a private directory of its own, so that nothing
// is written to the current directory and two runs never share temporary files.
namespace quorvel::cli {

// A fresh directory that only this user may enter, named after the process that made it:
// mkdtemp under TMPDIR (or /tmp) on POSIX, GetTempPath and a unique name on Windows, with an
// access list of the user alone. When the object ends, the files a run puts there
// (runFileNames()) are deleted, and then the directory if that left it empty: never a
// recursive removal, which could follow a link or a junction into something else. One back
// end per platform.
class PrivateDirectory {
 public:
  PrivateDirectory() = default;
  ~PrivateDirectory();
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;

  // False with `error` (one line for the user) when none could be made. Before it makes its
  // own, it removes the private directories that runs of this user left in the same place
  // when they were killed (their process is gone), the same careful way. `root`: where,
  // instead of the system's folder for temporary files.
  bool create(std::string& error, const std::string& root = {});
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The names of the files a run puts in its private directory: the copy of the image, the
// copy while it is made, and the two files of the conversion.
std::array<std::string, 4> runFileNames();

// Deletes the run's files from `directory`, then the directory if nothing else is left in it.
// Links among them are deleted, never followed. One back end per platform.
void removeRunDirectory(const std::string& directory);

namespace detail {

// A private directory is named "<prefix><process id>-<unique part>".
inline constexpr const char* kPrivateDirectoryPrefix = "quorvel-upgrade-";
// The process id in such a name; 0 for any other name.
long privateDirectoryOwner(std::string_view name);

}  // namespace detail

// The directory the running program lies in; empty when it cannot be told.
std::string programDirectory();

// The largest image an upgrade takes: more is no firmware of the instrument, and is refused
// as corrupted before anything is copied.
inline constexpr std::uint64_t kMaxImageBytes = std::uint64_t{256} << 20;

// What copying the image into the private directory gave.
struct ImageCopy {
  bool copied = false;
  std::optional<std::string> sha256;  // of exactly the bytes copied, when copied
  std::string error;                  // why not
};

// Copies `image`, opened for reading, into `directory` as quorvel.out, hashing it in the same
// pass, so that the digest is that of what the converter reads. A copy cut short (a read
// error, no room, or `stopRequested` returning true between chunks) leaves no quorvel.out
// behind.
ImageCopy copyImage(NamedFile& image, const std::string& directory, bool (*stopRequested)());

// Which converter an upgrade runs.
struct ConverterChoice {
  std::string shown;           // the name for messages: as given, or the default "hex55"
  std::string path;            // absolute; where it was looked for when it is missing
  bool besideProgram = false;  // none in the current directory: the one beside the program
};

// `given` (--converter) when set; otherwise the converter in the current directory, or, when
// there is none, the one that lies beside the running program.
ConverterChoice chooseConverter(const std::string& given);

}  // namespace quorvel::cli
