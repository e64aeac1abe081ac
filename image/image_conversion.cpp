#include "image/image_conversion.h"

#include "image/image_conversion_platform.h"

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

void removeTemporaryFiles() {
  detail::deleteFile(kMsbFileName);
  detail::deleteFile(kLsbFileName);
}

RequiredFileCheck checkRequiredFiles() {
  if (!detail::entryExists(kImageFileName)) return missing(kImageFileName);
  if (!detail::entryExists(converterFileName())) return missing(converterFileName());
  return {};
}

}  // namespace quorvel
