// An incremental SHA-2 digest for the hard binding. The digest itself is
// OpenSSL's; this header keeps OpenSSL's declarations out of every other file,
// so only sha2.cpp is compiled against them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "hardbinding/data_hash.h"

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX, opaque here

namespace brevane {

// Feeds any number of byte spans, in order, into one digest, so that a caller
// can hash the pieces of a document without first gathering them. Not copyable;
// each stream is finished at most once.
class DigestStream {
 public:
  // Throws std::bad_alloc when no context can be had.
  explicit DigestStream(HashAlgorithm alg);
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;

  void update(std::string_view bytes);
  // The digest of everything fed so far: 32, 48 or 64 bytes.
  [[nodiscard]] std::string finish();

 private:
  struct CtxFree {
    void operator()(evp_md_ctx_st* ctx) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, CtxFree> ctx_;
  bool finished_ = false;
};

}  // namespace brevane
