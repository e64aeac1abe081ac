#include "image/firmware_image.h"

#include <utility>

#include "serial/trace.h"

namespace quorvel {

FirmwareImage::FirmwareImage(ConversionSetup setup) : setup_(std::move(setup)) {
  // Without a finished run of the converter on fresh files, whatever the files hold is not
  // this image's conversion.
  if (!runConverter(setup_)) return;
  SectorReader reader;
  if (reader.open(setup_.directory)) check(reader);
}

FirmwareImage::~FirmwareImage() {
  removeTemporaryFiles(setup_.directory);
}

// An image cut short or out of step would otherwise be sent in part and closed with "GO".
// The compatibility word stays as read so that the confirmation names the image's version.
void FirmwareImage::check(SectorReader& reader) {
  reader.measureLsbLength();
  reader.readCompatibilityWord();
  lsbLength_ = reader.lsbLength();
  compatibilityWord_ = reader.compatibilityWord();
  const ImageValidation validation = reader.validate();
  dataWords_ = validation.dataWords;
  sectors_ = validation.sectors;
  if (validation.ok()) {
    usable_ = true;
  } else {
    trace(1, "Image check failed: %s\n", validation.describe().c_str());
  }
}

}  // namespace quorvel
