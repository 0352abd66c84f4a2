// What the TIFF format's save, load and description code share.
#pragma once

#include <tiffio.h>

namespace QVX::Image::Format::tiff_internal {

// Makes the private tags known to libtiff; runs once, before the first file is opened.
void register_private_tags();

// Opens a TIFF for reading through the given procedures (no mapping), with the private
// tags known and a bound on what one damaged field can make libtiff allocate.
::TIFF* client_open(const char* name, thandle_t handle, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFCloseProc close,
                    TIFFSizeProc size);

}  // namespace QVX::Image::Format::tiff_internal
