/* The public header compiles as C, and a C program drives a handle through it. */
#include <stdio.h>
#include <string.h>

#include "qvx_ozk.h"

#define CHECK(cond) \
  if (!(cond)) failures += fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond) > 0

static void count_entry(void* user, const char* entry) { *(int*)user += entry[0] != 0; }

int main(void) {
  int failures = 0, entries = 0;
  uint32_t kind = 99, width = 99, height = 99, slices = 99, levels = 99;
  float slice[1];
  const double origin[3] = {0.0, 0.0, 0.0}, u[3] = {1.0, 0.0, 0.0}, v[3] = {0.0, 1.0, 0.0};
  qvx_ozk_volume* volume = qvx_ozk_volume_create();

  CHECK(sizeof(bool) == 1);
  CHECK(volume != NULL);
  CHECK(!qvx_ozk_volume_open(volume, "c_header_test_no_such_volume"));
  qvx_ozk_log_to_callback(count_entry, &entries);
  CHECK(!qvx_ozk_volume_wopen(volume, L"c_header_test_no_such_volume"));
  CHECK(strncmp(qvx_ozk_last_error(), "FAILED", 6) == 0);
  CHECK(qvx_ozk_last_error_errno() == 2); /* ENOENT */
  qvx_ozk_log_to_callback(NULL, NULL);
  CHECK(entries > 0);
  qvx_ozk_volume_kind(volume, &kind);
  qvx_ozk_volume_slice_width(volume, &width);
  CHECK(kind == QVX_OZK_KIND_NONE && width == 0);
  CHECK(!qvx_ozk_volume_read_slice(volume, slice, 0));
  CHECK(!qvx_ozk_volume_verify(volume, NULL, NULL));
  /* A closed volume has no level, so no region, no plane and no cache. */
  qvx_ozk_volume_num_levels(volume, &levels);
  CHECK(levels == 0);
  CHECK(!qvx_ozk_volume_level_shape(volume, 0, &width, &height, &slices));
  CHECK(!qvx_ozk_volume_read_region(volume, 0, 0, 0, 0, 1, 1, 1, slice));
  CHECK(!qvx_ozk_volume_sample_plane(volume, 0, origin, u, v, 1, 1, 0.0f, slice));
  CHECK(!qvx_ozk_volume_set_cache_size(volume, 1u << 20));
  CHECK(qvx_ozk_volume_close(volume));
  CHECK(!qvx_ozk_log_to_file(NULL)); /* no file: standard output, and false */
  CHECK(strchr(qvx_ozk_version(), '.') != NULL);
  qvx_ozk_volume_delete(volume);
  qvx_ozk_volume_delete(NULL);
  return failures == 0 ? 0 : 1;
}
