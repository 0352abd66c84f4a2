/*
 * volume_demo: writes a small CT-like phantom twice, as a 16-bit packed volume and as a
 * float32 header volume split over two slice files, then opens each through the C
 * interface and prints its geometry, data range and the min/mean/max of every slice.
 *
 *   volume_demo [DIRECTORY]      (default: the current directory)
 */
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "qvx_ozk.h"

enum { NX = 48, NY = 32, NZ = 64 }; /* rows, slices, columns */
static const double kVoxelMm = 0.2;

/* Attenuation of the phantom at voxel (x, y, z) in Hounsfield-like units: air around a
 * water cylinder along y holding a dense sphere. */
static float phantom(int x, int y, int z) {
  const double cx = NX / 2.0, cy = NY / 2.0, cz = NZ / 2.0;
  const double r_cyl = sqrt((x - cx) * (x - cx) + (z - cz) * (z - cz));
  const double r_ball = sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz));
  if (r_ball < NX / 5.0) return 1000.0f;
  if (r_cyl < NX / 2.5) return 0.0f;
  return -1000.0f;
}

static int write_packed(const char* path) {
  FILE* f = fopen(path, "wb");
  int x, y, z;
  if (f == NULL) return 0;
  fprintf(f,
          "# QVX v2.0 Packed Volume\nVoxels: %d %d %d\nMin: 0 0 0\nMax: %g %g %g\n"
          "BitsPerSample: 16\nSweepDirection: 1\n</content>\n",
          NX, NY, NZ, NX * kVoxelMm, NY * kVoxelMm, NZ * kVoxelMm);
  for (y = 0; y < NY; ++y) {
    for (x = 0; x < NX; ++x) {
      for (z = 0; z < NZ; ++z) {
        /* -1000..1000 mapped onto 0..60000, little-endian */
        const unsigned v = (unsigned)((phantom(x, y, z) + 1000.0f) * 30.0f);
        const unsigned char bytes[2] = {(unsigned char)(v & 0xFF), (unsigned char)(v >> 8)};
        fwrite(bytes, 1, 2, f);
      }
    }
  }
  return fclose(f) == 0;
}

static int write_slices(const char* path, int first, int count) {
  FILE* f = fopen(path, "wb");
  int x, y, z;
  if (f == NULL) return 0;
  for (y = first; y < first + count; ++y) {
    for (x = 0; x < NX; ++x) {
      for (z = 0; z < NZ; ++z) {
        const float v = phantom(x, y, z); /* the demo assumes a little-endian host */
        fwrite(&v, sizeof v, 1, f);
      }
    }
  }
  return fclose(f) == 0;
}

static int write_header_volume(const char* dir, const char* path) {
  char part[1024];
  FILE* f;
  snprintf(part, sizeof part, "%s/phantom_part1.raw", dir);
  if (!write_slices(part, 0, NY / 2)) return 0;
  snprintf(part, sizeof part, "%s/phantom_part2.raw", dir);
  if (!write_slices(part, NY / 2, NY - NY / 2)) return 0;
  f = fopen(path, "w");
  if (f == NULL) return 0;
  fprintf(f,
          "<Brevant Quill Labs Volume Header>\n  <Voxels>%d %d %d</Voxels>\n"
          "  <DataRange>-1000 1000</DataRange>\n  <Location>\n    <Min>0 0 0</Min>\n"
          "    <Max>%g %g %g</Max>\n  </Location>\n  <Files>\n"
          "    <Name>phantom_part1.raw</Name>\n    <NbSlices>%d</NbSlices>\n"
          "    <Name>phantom_part2.raw</Name>\n    <NbSlices>%d</NbSlices>\n  </Files>\n"
          "</Brevant Quill Labs Volume Header>\n",
          NX, NY, NZ, NX * kVoxelMm, NY * kVoxelMm, NZ * kVoxelMm, NY / 2, NY - NY / 2);
  return fclose(f) == 0;
}

static int show(const char* path) {
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  uint32_t width = 0, height = 0, slices = 0, kind = 0, i;
  double x0, y0, z0, x1, y1, z1, lo, hi;
  float* slice;
  int ok = 1;

  if (volume == NULL || !qvx_ozk_volume_open(volume, path)) {
    fprintf(stderr, "cannot open %s: %s\n", path, qvx_ozk_last_error());
    qvx_ozk_volume_delete(volume);
    return 0;
  }
  qvx_ozk_volume_kind(volume, &kind);
  qvx_ozk_volume_slice_width(volume, &width);
  qvx_ozk_volume_slice_height(volume, &height);
  qvx_ozk_volume_num_slices(volume, &slices);
  qvx_ozk_volume_vmin(volume, &x0, &y0, &z0);
  qvx_ozk_volume_vmax(volume, &x1, &y1, &z1);
  qvx_ozk_volume_data_min(volume, &lo);
  qvx_ozk_volume_data_max(volume, &hi);

  printf("\n%s\n", path);
  printf("  kind        %s volume\n", qvx_ozk_kind_name(kind));
  printf("  size        %u slices of %u x %u (width x height)\n", slices, width, height);
  printf("  corners     (%g, %g, %g) .. (%g, %g, %g)\n", x0, y0, z0, x1, y1, z1);
  printf("  data range  %g .. %g\n", lo, hi);
  printf("  %5s %12s %12s %12s\n", "slice", "min", "mean", "max");

  slice = malloc((size_t)width * height * sizeof *slice);
  for (i = 0; slice != NULL && i < slices; ++i) {
    double sum = 0.0;
    float mn, mx;
    size_t k, n = (size_t)width * height;
    if (!qvx_ozk_volume_read_slice(volume, slice, i)) {
      fprintf(stderr, "cannot read slice %u of %s\n", i, path);
      ok = 0;
      break;
    }
    mn = mx = slice[0];
    for (k = 0; k < n; ++k) {
      if (slice[k] < mn) mn = slice[k];
      if (slice[k] > mx) mx = slice[k];
      sum += slice[k];
    }
    printf("  %5u %12.6g %12.6g %12.6g\n", i, mn, sum / (double)n, mx);
  }
  free(slice);
  qvx_ozk_volume_close(volume);
  qvx_ozk_volume_delete(volume);
  return ok && slice != NULL;
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : ".";
  char packed[1024], header[1024];

  if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
    fprintf(stderr, "cannot create %s: %s\n", dir, strerror(errno));
    return 1;
  }
  snprintf(packed, sizeof packed, "%s/phantom16.pvol", dir);
  snprintf(header, sizeof header, "%s/phantom.hdr", dir);
  if (!write_packed(packed) || !write_header_volume(dir, header)) {
    fprintf(stderr, "cannot write the sample volumes in %s\n", dir);
    return 1;
  }
  printf("ozK-SDK %s: sample volumes written to %s\n", qvx_ozk_version(), dir);
  return show(packed) && show(header) ? 0 : 1;
}
