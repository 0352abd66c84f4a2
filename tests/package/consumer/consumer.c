#include <stdio.h>
#include <string.h>

#include "qvx_ozk.h"

int main(void) {
  char expected[32];
  uint32_t kind = 0;
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  snprintf(expected, sizeof expected, "%d.%d.%d", QVX_OZK_VERSION_MAJOR, QVX_OZK_VERSION_MINOR,
           QVX_OZK_VERSION_PATCH);
  qvx_ozk_volume_kind(volume, &kind);
  qvx_ozk_volume_delete(volume);
  if (strcmp(qvx_ozk_version(), expected) != 0 || kind != QVX_OZK_KIND_NONE) return 1;
  puts("consumer: linked the installed library");
  return 0;
}
