// What the TIFF format's save, load and description code share.
#pragma once

#include <tiffio.h>
#include <tiffvers.h>

// libtiff 4.5 opens files with per-file options (handlers, allocation bounds).
#ifdef TIFFLIB_AT_LEAST
#if TIFFLIB_AT_LEAST(4, 5, 0)
#define QVX_OZK_TIFF_OPEN_OPTIONS 1
#endif
#endif

namespace QVX::Image::Format::tiff_internal {

// Makes the private tags known to libtiff; runs once, before the first file is opened.
void register_private_tags();

// Opens a TIFF for reading through the given procedures (no mapping), with the private
// tags known and a bound on what one damaged field can make libtiff allocate.
// Opens a TIFF file, or one through the given procedures (no mapping), with the private
// tags known and libtiff's messages about it in our log.
::TIFF* open_file(const char* path, const char* mode);
::TIFF* open_client(const char* name, const char* mode, thandle_t handle, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFCloseProc close,
                    TIFFSizeProc size);

::TIFF* client_open(const char* name, thandle_t handle, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFCloseProc close,
                    TIFFSizeProc size);

}  // namespace QVX::Image::Format::tiff_internal
