// ozk convert of an image stack: numbered 2-D gray images, image i becoming slice i of an
// HR volume, read through the library's image loaders one slab of slices at a time.
#include <glob.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "tools/hr_writer/hr_stream_writer.h"
#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

namespace fs = std::filesystem;

struct Numbered {
  uint64_t number = 0;
  std::string path;
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The images a directory lends to a stack: names ending in .tif, .tiff, .bmp (gzipped or
// not: .gz after them) or .png, the files the image loaders read.
bool has_image_extension(const std::string& name) {
  std::string n = lower(name);
  if (n.ends_with(".png")) return true;
  if (n.size() > 3 && n.ends_with(".gz")) n.resize(n.size() - 3);
  return n.ends_with(".tif") || n.ends_with(".tiff") || n.ends_with(".bmp");
}

// The last run of digits in the file's name.
std::optional<uint64_t> file_number(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  const size_t last = name.find_last_of("0123456789");
  if (last == std::string::npos) return std::nullopt;
  size_t first = last;
  while (first > 0 && std::isdigit(static_cast<unsigned char>(name[first - 1]))) --first;
  const std::string digits = name.substr(first, last - first + 1);
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno != 0) return std::nullopt;
  return value;
}

bool list_files(const std::string& input, std::vector<std::string>* files, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(input, ec)) {
    for (fs::directory_iterator it(input, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name[0] != '.' && has_image_extension(name) && it->is_regular_file(ec)) {
        files->push_back(it->path().string());
      }
    }
    if (ec) *error = describe_failure("cannot read the directory", input, ec.message());
  } else {
    glob_t found{};
    const int code = glob(input.c_str(), 0, nullptr, &found);
    for (size_t i = 0; code == 0 && i < found.gl_pathc; ++i) files->push_back(found.gl_pathv[i]);
    globfree(&found);
    if (code != 0 && code != GLOB_NOMATCH) {
      *error = describe_failure("cannot list", input, std::strerror(EIO));
    }
  }
  if (error->empty() && files->empty()) {
    *error = describe_failure("cannot convert", input, "no image files there");
  }
  return error->empty();
}

// The stack's files in the order of their numbers, which must follow one another.
bool numbered_files(const std::string& input, std::vector<std::string>* files, std::string* error) {
  std::vector<std::string> listed;
  if (!list_files(input, &listed, error)) return false;
  std::vector<Numbered> numbered;
  for (const std::string& path : listed) {
    const std::optional<uint64_t> number = file_number(path);
    if (!number) {
      *error = describe_failure("cannot convert", path, "no number in its name");
      return false;
    }
    numbered.push_back({*number, path});
  }
  std::sort(numbered.begin(), numbered.end(),
            [](const Numbered& a, const Numbered& b) { return a.number < b.number; });
  for (size_t i = 1; i < numbered.size(); ++i) {
    const Numbered &before = numbered[i - 1], &here = numbered[i];
    if (here.number == before.number) {
      *error = describe_failure("cannot convert", here.path,
                                "its number is also that of '" + before.path + "'");
      return false;
    }
    if (here.number != before.number + 1) {
      *error = describe_failure("cannot convert", here.path,
                                "the image numbered " + std::to_string(before.number + 1) +
                                    " is missing (after '" + before.path + "')");
      return false;
    }
  }
  for (Numbered& n : numbered) files->push_back(std::move(n.path));
  if (files->size() > std::numeric_limits<int32_t>::max()) {
    *error = describe_failure("cannot convert", input, "too many images");
    return false;
  }
  return true;
}

struct ImageShape {
  uint32_t type = 0, height = 0, width = 0, bits = 0;
  bool operator==(const ImageShape&) const = default;
};

std::string describe(const ImageShape& shape) {
  static const char* const kTypes[] = {"TIFF", "PNG", "BMP"};
  return std::to_string(shape.width) + " x " + std::to_string(shape.height) + " " +
         (shape.type < 3 ? kTypes[shape.type] : "image") + " (" + std::to_string(shape.bits) +
         " bits per sample)";
}

// Loads the images of a stack, each checked against the first one.
class StackReader {
 public:
  // False with the cause in `error`.
  bool load(const std::string& path, std::vector<float>* image, std::string* error) {
    auto failed = [&](const std::string& cause) {
      *error = describe_failure("cannot convert", path, cause);
      return false;
    };
    ImageShape shape;
    if (!qvx_ozk_image_describe(path.c_str(), &shape.type, &shape.height, &shape.width,
                                &shape.bits)) {
      return failed(library_cause());
    }
    if (first_.empty()) {
      first_ = path;
      first_shape_ = shape;
    } else if (!(shape == first_shape_)) {
      return failed(describe(shape) + ", unlike the first image '" + first_ + "', " +
                    describe(first_shape_));
    }
    image->resize(size_t{shape.height} * shape.width);
    if (!qvx_ozk_image_load_gray(path.c_str(), image->data(), shape.height, shape.width)) {
      return failed(library_cause());
    }
    return true;
  }
  uint32_t width() const { return first_shape_.width; }
  uint32_t height() const { return first_shape_.height; }

 private:
  std::string first_;
  ImageShape first_shape_;
};

}  // namespace

bool is_image_stack(const std::string& input) {
  std::error_code ec;
  const fs::file_status status = fs::status(input, ec);
  if (fs::exists(status)) return fs::is_directory(status);
  return input.find_first_of("*?[") != std::string::npos;
}

bool parse_voxel_size(const std::string& text, std::array<double, 3>* size) {
  const char* p = text.c_str();
  for (int a = 0; a < 3; ++a) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v) || v <= 0 || *end != (a < 2 ? ',' : '\0')) return false;
    (*size)[a] = v;
    p = end + (a < 2 ? 1 : 0);
  }
  return true;
}

int run_convert_stack(const std::string& input, const std::string& output,
                      const ConvertOptions& options, const Settings& settings) {
  std::vector<std::string> files;
  std::string error;
  if (!numbered_files(input, &files, &error)) return fail(error);
  StackReader reader;
  std::vector<float> image;
  if (!reader.load(files[0], &image, &error)) return fail(error);
  const uint32_t height = reader.height(), width = reader.width();
  const auto slices = static_cast<uint32_t>(files.size());
  if (height == 0 || width == 0) {
    return fail(describe_failure("cannot convert", files[0], "the image has no pixels"));
  }
  Tools::HRStreamOptions hr;
  hr.resolution = {height, slices, width};
  const std::array<double, 3> voxel = options.voxel_size.value_or(std::array<double, 3>{1, 1, 1});
  for (int a = 0; a < 3; ++a) hr.vmax[a] = voxel[a] * hr.resolution[a];
  const size_t slice_size = size_t{height} * width;
  return write_hr_slabs(
      output, hr, files[0], "the image is too large",
      [&](uint32_t index, float* out, std::string* failure) {
        // The first image was loaded while the stack's size was found.
        if (index > 0 && !reader.load(files[index], &image, failure)) {
          return false;
        }
        std::memcpy(out, image.data(), slice_size * sizeof(float));
        return true;
      },
      settings);
}

}  // namespace QVX::Ozk
