// The bodies of the fuzz targets, shared with the replay and truncation tests so that a
// crash found by a fuzzer is replayed through exactly the same calls. Each takes any bytes,
// drives one reader through the library's own entry points, and answers whether the
// reader accepted the input (its open or load succeeded). None may crash, whatever the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QVX::Fuzz {

// A packed volume file, opened through the public C interface; reads a few slices and
// regions.
bool packed_volume(const uint8_t* data, size_t size);
// A header volume: the bytes up to the first NUL are the header text, the rest is the
// slice file "slice.raw" beside it. Opened through the public C interface; reads a few
// slices and regions.
bool header_volume(const uint8_t* data, size_t size);
// Tagged text read line by line from memory, splitting every line.
bool tag_reader(const uint8_t* data, size_t size);
// An HR volume file: read as packed_volume is, then one border-fill batch of depth 1 run
// through the brick pool.
bool hr_volume(const uint8_t* data, size_t size);
// Image files through the image layer's loaders (description, then pixels).
bool tiff_load(const uint8_t* data, size_t size);
bool bmp_load(const uint8_t* data, size_t size);
bool png_load(const uint8_t* data, size_t size);

using EntryPoint = bool (*)(const uint8_t* data, size_t size);

struct Target {
  const char* name;  // the fuzz executable's name without "_fuzz"
  EntryPoint run;
};

// Every target, in a fixed order.
const std::vector<Target>& targets();

// The directory every input is written to, private to the process and removed at exit.
const std::string& scratch_dir();

// Drops every log entry, of the library and of the layers linked beside it.
void discard_logs();

// Joins a header-volume text and its slice file into one input of header_volume.
std::string header_volume_input(const std::string& header, const std::string& slice);

}  // namespace QVX::Fuzz
