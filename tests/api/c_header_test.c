/* A C program that uses the library through its public header only. */
#include <stdio.h>
#include <string.h>

#include "qvx_ozk.h"

static int failures = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

int main(void) {
  /* 2 rows (x), 3 slices (y), 4 columns (z) of 8-bit samples: value = 10 * y + 4 * x + z. */
  const char* path = "c_header_test_volume.pvol";
  FILE* f = fopen(path, "wb");
  unsigned char sample;
  unsigned x, y, z;
  float slice[8];
  uint32_t width = 0, height = 0, slices = 0, kind = 99;
  double lo = 0.0, hi = 0.0;
  qvx_ozk_volume* volume;

  if (f == NULL) return 1;
  fputs("# QVX Packed Volume\nVoxels: 2 3 4\nBitsPerSample: 8\nSweepDirection: 1\n</content>\n", f);
  for (y = 0; y < 3; ++y)
    for (x = 0; x < 2; ++x)
      for (z = 0; z < 4; ++z) {
        sample = (unsigned char)(10 * y + 4 * x + z);
        fwrite(&sample, 1, 1, f);
      }
  fclose(f);

  volume = qvx_ozk_volume_create();
  CHECK(volume != NULL);
  CHECK(qvx_ozk_volume_open(volume, path));
  qvx_ozk_volume_slice_width(volume, &width);
  qvx_ozk_volume_slice_height(volume, &height);
  qvx_ozk_volume_num_slices(volume, &slices);
  qvx_ozk_volume_kind(volume, &kind);
  qvx_ozk_volume_data_min(volume, &lo);
  qvx_ozk_volume_data_max(volume, &hi);
  CHECK(width == 4 && height == 2 && slices == 3);
  CHECK(kind == QVX_OZK_KIND_PACKED);
  CHECK(lo == 0.0 && hi == 1.0);
  CHECK(qvx_ozk_volume_read_slice(volume, slice, 2));
  CHECK(slice[1 * 4 + 3] == (float)(10 * 2 + 4 * 1 + 3) * 0.003921569f);
  CHECK(!qvx_ozk_volume_read_slice(volume, slice, 3));
  CHECK(qvx_ozk_volume_close(volume));
  qvx_ozk_volume_kind(volume, &kind);
  CHECK(kind == QVX_OZK_KIND_NONE);
  CHECK(sizeof(bool) == 1);
  CHECK(strlen(qvx_ozk_version()) >= 5);
  qvx_ozk_volume_delete(volume);
  qvx_ozk_volume_delete(NULL);
  remove(path);

  printf("%s\n", failures == 0 ? "C interface: all checks passed" : "C interface: FAILED");
  return failures == 0 ? 0 : 1;
}
