#pragma once

#include <optional>
#include <string>

// Where quorvel-upgrade converts the image: a private directory of its own, so that nothing
// is written to the current directory and two runs never share temporary files.
namespace quorvel::cli {

// A fresh directory that only this user may enter, removed with everything in it when the
// object ends. mkdtemp under TMPDIR (or /tmp) on POSIX; GetTempPath and a unique name on
// Windows. One back end per platform.
class PrivateDirectory {
 public:
  PrivateDirectory() = default;
  ~PrivateDirectory();
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;

  // False with `error` (one line for the user) when none could be made.
  bool create(std::string& error);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The directory the running program lies in; empty when it cannot be told.
std::string programDirectory();

// What copying the image into the private directory gave.
struct ImageCopy {
  bool copied = false;
  std::optional<std::string> sha256;  // of exactly the bytes copied, when copied
  std::string error;                  // why not, when the source was there but not copied
};

// Copies `source` into `directory` as quorvel.out, hashing it in the same pass, so that the
// digest is that of what the converter reads. A copy cut short (a read error, or
// `stopRequested` returning true between chunks) leaves no quorvel.out behind.
ImageCopy copyImage(const std::string& source, const std::string& directory,
                    bool (*stopRequested)());

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
