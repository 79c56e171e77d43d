/* libqor: compression and expansion of byte buffers in the qor format.
 *
 * A context owns all the working memory of one block pipeline (about 106 MB
 * of address space, of which a block touches what its size needs). Calls on
 * one context must not overlap; give each thread its own context. The
 * library keeps no other state: nothing is shared between contexts.
 *
 * The compressed format is the one the qor program writes and reads: a file
 * compressed by either expands with the other.
 */
#ifndef QOR_H
#define QOR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QOR_VERSION_STRING "2.4"

/* The shared library exports these names and nothing else. */
#if defined(__GNUC__)
#define QOR_API __attribute__((visibility("default")))
#else
#define QOR_API
#endif

typedef enum qor_error {
  QOR_OK = 0,
  QOR_ERROR_DAMAGED = 1,       /* the compressed bytes are damaged, cut short or not qor data */
  QOR_ERROR_OUT_OF_MEMORY = 2, /* the working memory or the output could not be had */
  QOR_ERROR_ARGUMENT = 3,      /* a null pointer where one is needed */
  QOR_ERROR_INTERNAL = 4       /* anything else; a fault of the library */
} qor_error;

typedef struct qor_context qor_context;

/* A new context, or NULL when its memory cannot be had. */
QOR_API qor_context* qor_context_new(void);
QOR_API void qor_context_free(qor_context* context);

/* Compresses size bytes at data (data may be NULL when size is 0), in the
 * fast chain when fast is nonzero. On QOR_OK, *output points to *output_size
 * bytes that the caller releases with qor_free; otherwise *output is NULL. */
QOR_API qor_error qor_compress(qor_context* context, const void* data, size_t size, int fast, void** output,
                               size_t* output_size);

/* Expands the compressed bytes at data. Every block is checked (structure and
 * CRC-32) before it is given back. On QOR_OK, *output holds the expanded
 * bytes. On QOR_ERROR_DAMAGED, *output holds the blocks verified before the
 * damaged one (possibly none) and qor_context_damage tells which and why.
 * Release *output with qor_free in both cases. */
QOR_API qor_error qor_expand(qor_context* context, const void* data, size_t size, void** output, size_t* output_size);

QOR_API void qor_free(void* buffer);

/* A fixed text for each error code. */
QOR_API const char* qor_error_text(qor_error error);

/* After QOR_ERROR_DAMAGED: "damaged block N at offset X: REASON" (blocks
 * counted from 1, X the byte offset of the block's header); "" otherwise.
 * Valid until the next call on the context. */
QOR_API const char* qor_context_damage(const qor_context* context);

/* The library's version, QOR_VERSION_STRING. */
QOR_API const char* qor_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QOR_H */
