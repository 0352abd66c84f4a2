// What the TIFF format's save, load and description code share.
#pragma once

#include <tiffio.h>

namespace QVX::Image::Format::tiff_internal {

// Makes the private tags known to libtiff; runs once, before the first file is opened.
void register_private_tags();

}  // namespace QVX::Image::Format::tiff_internal
