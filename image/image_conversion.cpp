#include "image/image_conversion.h"

#include "image/image_conversion_platform.h"
#include "serial/trace.h"

namespace quorvel {

namespace {

RequiredFileCheck missing(const char* name) {
  RequiredFileCheck check;
  check.ok = false;
  check.missingFile = name;
  check.message = std::string("Required file ") + name +
                  " not found !\nPlease copy it in the same directory than " + programFileName();
  return check;
}

}  // namespace

bool runConverter() {
  if (!removeTemporaryFiles()) {
    trace(1, "The temporary files of an earlier conversion cannot be deleted\n");
    return false;
  }
  // An absent converter is reported by the required-file check; starting it anyway would
  // only let the system print its own "not found" first.
  if (!detail::entryExists(converterFileName())) return false;
  return detail::runConverterProcess(detail::kDefaultConverter, "");
}

bool removeTemporaryFiles() {
  const bool msbGone = detail::deleteFile(kMsbFileName);
  const bool lsbGone = detail::deleteFile(kLsbFileName);
  return msbGone && lsbGone;
}

RequiredFileCheck checkRequiredFiles() {
  if (!detail::entryExists(kImageFileName)) return missing(kImageFileName);
  if (!detail::entryExists(converterFileName())) return missing(converterFileName());
  return {};
}

}  // namespace quorvel
