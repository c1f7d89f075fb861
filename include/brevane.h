/* brevane's C ABI: the eight operations of the Python module for hosts that
 * reach native code through C (web server modules, edge runtimes, crawlers,
 * cgo, Rust's extern "C"). Valid C11 and C++; every function is noexcept.
 *
 * Inputs are a pointer and a length, borrowed for the call only; a NULL pointer
 * is allowed with a length of 0. Outputs are written into caller-owned structs:
 * bytes of unknown size come as a brevane_owned_string, which the caller frees
 * with brevane_free exactly once; everything else (ranges, digests) lands in
 * the caller's memory, with a size query where the count is not bounded.
 *
 * Every fallible function returns a brevane_code (BREVANE_OK is 0). On failure
 * it sets the outputs empty and, when `error` is not NULL, writes the code and
 * the Python module's message there; on success `error` is not touched.
 * Nothing is kept between calls: any function may run on any thread at once. */
#ifndef BREVANE_H
#define BREVANE_H

/* A C header, which C++ includes too: C's headers and typedefs stay. */
/* NOLINTBEGIN(modernize-deprecated-headers, modernize-use-using) */
#include <stddef.h>
#include <stdint.h>

#include "brevane/export.h"

#ifdef __cplusplus
#define BREVANE_NOEXCEPT noexcept
extern "C" {
#else
#define BREVANE_NOEXCEPT
#endif

/* Borrowed: views bytes that someone else owns (static text of the library).
 * Never freed. */
typedef struct brevane_string {
  const char* data;
  size_t length;
} brevane_string;

/* Owned: bytes the library allocated for the caller, freed with brevane_free.
 * data[length] is a NUL (not counted) so text can be printed; the bytes
 * themselves may hold NULs. {NULL, 0} is empty and safe to free. */
typedef struct brevane_owned_string {
  char* data;
  size_t length;
} brevane_owned_string;

/* `start` up to, not including, `start + length`, in bytes of the document. */
typedef struct brevane_range {
  uint64_t start;
  uint64_t length;
} brevane_range;

/* The numbers stay across 0.x releases; new codes may be added. */
typedef enum brevane_code {
  BREVANE_OK = 0,
  BREVANE_NO_MANIFEST = 1,           /* the head has no manifest element */
  BREVANE_MULTIPLE_MANIFESTS = 2,    /* it has more than one */
  BREVANE_MALFORMED = 3,             /* the element cannot be read (bad Base64, no href) */
  BREVANE_NO_HEAD = 4,               /* no </head> to embed before */
  BREVANE_EXCLUSION_MALFORMED = 5,   /* exclusions out of order, bounds, or not the element's */
  BREVANE_HASH_MISMATCH = 6,         /* the digest of the covered bytes differs */
  BREVANE_UNSUPPORTED_ALGORITHM = 7, /* not exactly "sha256", "sha384" or "sha512" */
  BREVANE_INVALID_ARGUMENT = 8,      /* a NULL pointer with a length, an href not UTF-8 */
  BREVANE_OUT_OF_MEMORY = 9,         /* an allocation failed; nothing leaked */
  BREVANE_INTERNAL_FAULT = 10,       /* a broken invariant of brevane, never of the input */
  BREVANE_BUFFER_TOO_SMALL = 11      /* the caller's buffer holds fewer items than there are */
} brevane_code;

/* Why a call failed. `message` is the text the Python module raises, e.g.
 * "data hash does not match the document content [assertion.dataHash.mismatch]"
 * (free it with brevane_free; it is empty if even it could not be allocated);
 * `status_code` is the C2PA validation status in its brackets, or empty. */
typedef struct brevane_error {
  brevane_code code;
  brevane_owned_string message;
  brevane_string status_code;
} brevane_error;

typedef enum brevane_kind {
  BREVANE_KIND_NONE = 0,      /* the head has no manifest element */
  BREVANE_KIND_EMBEDDED = 1,  /* <script type="application/c2pa">: payload is the store */
  BREVANE_KIND_REFERENCED = 2 /* <link rel="c2pa-manifest">: payload is the href, UTF-8 */
} brevane_kind;

typedef struct brevane_association {
  brevane_kind kind;
  brevane_range range; /* the whole element */
  brevane_owned_string payload;
} brevane_association;

#define BREVANE_MAX_DIGEST_LENGTH 64

/* A SHA-256, SHA-384 or SHA-512 digest: 32, 48 or 64 of the bytes. */
typedef struct brevane_digest {
  size_t length;
  unsigned char bytes[BREVANE_MAX_DIGEST_LENGTH];
} brevane_digest;

/* A computed c2pa.hash.data binding. A page's own binding excludes exactly its
 * inline element, or nothing when it references its store: at most one range. */
typedef struct brevane_binding {
  brevane_string alg; /* "sha256", "sha384" or "sha512" */
  brevane_digest hash;
  size_t exclusion_count;
  brevane_range exclusions[1];
} brevane_binding;

/* "0.2.0": static, NUL-terminated. */
BREVANE_API const char* brevane_version(void) BREVANE_NOEXCEPT;

/* Frees what the library allocated; {NULL, 0} is a no-op. */
BREVANE_API void brevane_free(brevane_owned_string owned) BREVANE_NOEXCEPT;

/* The ranges of every manifest element of the head, in document order. Sets
 * *count to how many there are and writes the first `capacity` of them;
 * BREVANE_BUFFER_TOO_SMALL when *count exceeds `capacity` (ranges may be NULL
 * with a capacity of 0: a size query). */
BREVANE_API brevane_code brevane_locate_all(const char* html, size_t html_length,
                                            brevane_range* ranges, size_t capacity, size_t* count,
                                            brevane_error* error) BREVANE_NOEXCEPT;

/* The page's association; BREVANE_OK with kind BREVANE_KIND_NONE when the head
 * has no manifest element. Free association->payload. */
BREVANE_API brevane_code brevane_extract(const char* html, size_t html_length,
                                         brevane_association* association,
                                         brevane_error* error) BREVANE_NOEXCEPT;

/* The page without any manifest element of its head. Free *document. */
BREVANE_API brevane_code brevane_remove(const char* html, size_t html_length,
                                        brevane_owned_string* document,
                                        brevane_error* error) BREVANE_NOEXCEPT;

/* The cleaned page with the store embedded inline before </head>. */
BREVANE_API brevane_code brevane_embed(const char* html, size_t html_length, const char* store,
                                       size_t store_length, brevane_owned_string* document,
                                       brevane_error* error) BREVANE_NOEXCEPT;

/* The cleaned page with a link to the store before </head>; href is UTF-8. */
BREVANE_API brevane_code brevane_embed_reference(const char* html, size_t html_length,
                                                 const char* href, size_t href_length,
                                                 brevane_owned_string* document,
                                                 brevane_error* error) BREVANE_NOEXCEPT;

/* `alg` names the algorithm; NULL (with a length of 0) means "sha256". */
BREVANE_API brevane_code brevane_compute_data_hash(const char* html, size_t html_length,
                                                   const char* alg, size_t alg_length,
                                                   brevane_binding* binding,
                                                   brevane_error* error) BREVANE_NOEXCEPT;

/* BREVANE_OK when the binding holds for the page. */
BREVANE_API brevane_code brevane_verify_data_hash(const char* html, size_t html_length,
                                                  const unsigned char* hash, size_t hash_length,
                                                  const brevane_range* exclusions,
                                                  size_t exclusion_count, const char* alg,
                                                  size_t alg_length,
                                                  brevane_error* error) BREVANE_NOEXCEPT;

/* The digest of the whole page: an inline binding's hash once a store is in. */
BREVANE_API brevane_code brevane_inline_hash_before_embed(const char* html, size_t html_length,
                                                          const char* alg, size_t alg_length,
                                                          brevane_digest* digest,
                                                          brevane_error* error) BREVANE_NOEXCEPT;

#ifdef __cplusplus
}
#endif
/* NOLINTEND(modernize-deprecated-headers, modernize-use-using) */

#endif /* BREVANE_H */
