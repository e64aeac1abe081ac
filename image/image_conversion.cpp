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

bool runConverter(const ConversionSetup& setup) {
  if (!removeTemporaryFiles(setup.directory)) {
    trace(1, "The temporary files of an earlier conversion cannot be deleted\n");
    return false;
  }
  const bool ownConverter = setup.converter.empty();
  // An absent converter is reported by the required-file check; starting it anyway would
  // only let the system print its own "not found" first.
  const std::string present =
      ownConverter ? pathIn(setup.directory, converterFileName()) : setup.converter;
  if (!detail::entryExists(present.c_str())) return false;
  if (ownConverter) {
    return detail::runConverterProcess(detail::kDefaultConverter, setup.directory.c_str(),
                                       detail::ConverterLaunch::CommandProcessor);
  }
  return detail::runConverterProcess(setup.converter.c_str(), setup.directory.c_str(),
                                     detail::ConverterLaunch::Direct);
}

bool removeTemporaryFiles(const std::string& directory) {
  const bool msbGone = detail::deleteFile(pathIn(directory, kMsbFileName).c_str());
  const bool lsbGone = detail::deleteFile(pathIn(directory, kLsbFileName).c_str());
  return msbGone && lsbGone;
}

RequiredFileCheck checkRequiredFiles() {
  if (!detail::entryExists(kImageFileName)) return missing(kImageFileName);
  if (!detail::entryExists(converterFileName())) return missing(converterFileName());
  return {};
}

}  // namespace quorvel
