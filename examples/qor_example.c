/* Compresses a text with libqor, expands it again and checks the round trip.
 * Built against the installed package: see examples/CMakeLists.txt. */
#include <qor.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  static const char text[] = "banana bandana banana bandana banana bandana";
  qor_context* context = qor_context_new();
  if (context == NULL) {
    fprintf(stderr, "qor_example: %s\n", qor_error_text(QOR_ERROR_OUT_OF_MEMORY));
    return 1;
  }
  void* packed = NULL;
  size_t packed_size = 0;
  void* unpacked = NULL;
  size_t unpacked_size = 0;
  qor_error error = qor_compress(context, text, sizeof text, 0, &packed, &packed_size);
  if (error == QOR_OK) error = qor_expand(context, packed, packed_size, &unpacked, &unpacked_size);
  int status = 0;
  if (error != QOR_OK) {
    fprintf(stderr, "qor_example: %s %s\n", qor_error_text(error), qor_context_damage(context));
    status = 1;
  } else if (unpacked_size != sizeof text || memcmp(unpacked, text, sizeof text) != 0) {
    fprintf(stderr, "qor_example: the round trip changed the text\n");
    status = 1;
  } else {
    printf("libqor %s: %zu bytes -> %zu bytes -> %zu bytes\n", qor_version(), sizeof text, packed_size, unpacked_size);
  }
  qor_free(packed);
  qor_free(unpacked);
  qor_context_free(context);
  return status;
}
