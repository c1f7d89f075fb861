/* A C host of libbrevane: reads a signed page, finds and extracts its manifest,
 * checks its data-hash binding (and that a changed byte breaks it), then takes
 * the manifest out and puts it back, predicting the hash before embedding.
 * Prints a transcript that the C++ and Rust consumers must match line for line. */
#include <brevane.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char* what, brevane_error* error) {
  fprintf(stderr, "%s: %s\n", what, error->message.data ? error->message.data : "?");
  brevane_free(error->message);
  return 1;
}

static void print_hex(const unsigned char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) printf("%02x", bytes[i]);
}

static char* read_file(const char* path, size_t* length) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char* data = NULL;
  size_t size = 0;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    char* grown = realloc(data, size + got);
    if (grown == NULL) break;
    data = grown;
    memcpy(data + size, chunk, got);
    size += got;
  }
  fclose(file);
  *length = size;
  return data;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PAGE\n", argv[0]);
    return 2;
  }
  size_t length = 0;
  char* page = read_file(argv[1], &length);
  if (page == NULL) return 2;
  brevane_error error = {BREVANE_OK, {NULL, 0}, {NULL, 0}};
  printf("brevane %s\n", brevane_version());

  brevane_range ranges[4];
  size_t count = 0;
  if (brevane_locate_all(page, length, ranges, 4, &count, &error) != BREVANE_OK) {
    return failed("locate_all", &error);
  }
  printf("located: %zu element(s), first at %llu+%llu\n", count,
         (unsigned long long)ranges[0].start, (unsigned long long)ranges[0].length);

  brevane_association association;
  if (brevane_extract(page, length, &association, &error) != BREVANE_OK) {
    return failed("extract", &error);
  }
  printf("extracted: %s, %zu payload bytes\n",
         association.kind == BREVANE_KIND_EMBEDDED ? "embedded" : "referenced",
         association.payload.length);

  brevane_binding binding;
  if (brevane_compute_data_hash(page, length, "sha256", 6, &binding, &error) != BREVANE_OK) {
    return failed("compute_data_hash", &error);
  }
  printf("bound: %s ", binding.alg.data);
  print_hex(binding.hash.bytes, binding.hash.length);
  printf(" excluding %zu range(s)\n", binding.exclusion_count);

  if (brevane_verify_data_hash(page, length, binding.hash.bytes, binding.hash.length,
                               binding.exclusions, binding.exclusion_count, binding.alg.data,
                               binding.alg.length, &error) != BREVANE_OK) {
    return failed("verify_data_hash", &error);
  }
  printf("verified\n");
  page[length - 2] ^= 1; /* a byte of the body: covered by the hash */
  if (brevane_verify_data_hash(page, length, binding.hash.bytes, binding.hash.length,
                               binding.exclusions, binding.exclusion_count, NULL, 0,
                               &error) == BREVANE_OK) {
    return 1;
  }
  printf("tampered: %s (%s)\n", error.message.data, error.status_code.data);
  brevane_free(error.message);
  page[length - 2] ^= 1;

  /* Hash, then sign, then embed: the bare page's digest is the binding's hash. */
  brevane_owned_string bare;
  if (brevane_remove(page, length, &bare, &error) != BREVANE_OK) return failed("remove", &error);
  brevane_digest predicted;
  if (brevane_inline_hash_before_embed(bare.data, bare.length, NULL, 0, &predicted, &error) !=
      BREVANE_OK) {
    return failed("inline_hash_before_embed", &error);
  }
  printf("predicted: %s\n",
         predicted.length == binding.hash.length &&
                 memcmp(predicted.bytes, binding.hash.bytes, predicted.length) == 0
             ? "the binding's hash"
             : "another hash");
  brevane_owned_string embedded;
  if (brevane_embed(bare.data, bare.length, association.payload.data, association.payload.length,
                    &embedded, &error) != BREVANE_OK) {
    return failed("embed", &error);
  }
  printf("re-embedded: %s\n", embedded.length == length && memcmp(embedded.data, page, length) == 0
                                  ? "the same page"
                                  : "another page");
  brevane_owned_string linked;
  if (brevane_embed_reference(bare.data, bare.length, "m.c2pa", 6, &linked, &error) != BREVANE_OK) {
    return failed("embed_reference", &error);
  }
  printf("linked: %zu bytes\n", linked.length);

  brevane_free(linked);
  brevane_free(embedded);
  brevane_free(bare);
  brevane_free(association.payload);
  free(page);
  return 0;
}
