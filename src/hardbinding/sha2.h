// SHA-256, SHA-384 and SHA-512 over byte spans fed in order: the digest primitive
// under the hard binding. The digest itself is OpenSSL's; this header keeps
// OpenSSL's declarations out of every other file, so only sha2.cpp is compiled
// against them. It knows nothing of documents, exclusions or algorithm names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX, opaque here

namespace brevane {

enum class HashAlgorithm : std::uint8_t { Sha256, Sha384, Sha512 };

// Feeds any number of byte spans, in order, into one digest, so that a caller
// can hash the pieces of a document without first gathering them. Not copyable;
// each stream is finished at most once.
class DigestStream {
 public:
  // Throws std::bad_alloc when no context can be had.
  explicit DigestStream(HashAlgorithm alg);
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
