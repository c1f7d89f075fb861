// The one file that includes OpenSSL: SHA-256, SHA-384 and SHA-512 through the
// EVP interface. We carry no SHA-2 code of our own. An OpenSSL failure here is
// never a property of the document, so it is a fault, not a DocumentError.
#include "hardbinding/sha2.h"

#include <array>
#include <new>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <utility>

#include "check.h"

namespace brevane {
namespace {

using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
// EVP_sha256() and its kin make OpenSSL 3 look the implementation up again on
// every init; fetching once per algorithm keeps that out of each call. The
// fetched methods live as long as the process (a host never unloads us), so
// they are deliberately never freed.
const EVP_MD* fetch_md(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  BREVANE_CHECK(md != nullptr);
  return md;
}

const EVP_MD* evp_md(HashAlgorithm alg) {
  switch (alg) {
    case HashAlgorithm::Sha256: {
      static const EVP_MD* const md = fetch_md("SHA256");
      return md;
    }
    case HashAlgorithm::Sha384: {
      static const EVP_MD* const md = fetch_md("SHA384");
      return md;
    }
    case HashAlgorithm::Sha512: {
      static const EVP_MD* const md = fetch_md("SHA512");
      return md;
    }
  }
  BREVANE_CHECK(false && "unknown HashAlgorithm");
  return nullptr;
}
#else
const EVP_MD* evp_md(HashAlgorithm alg) {
  switch (alg) {
    case HashAlgorithm::Sha256:
      return EVP_sha256();
    case HashAlgorithm::Sha384:
      return EVP_sha384();
    case HashAlgorithm::Sha512:
      return EVP_sha512();
  }
  BREVANE_CHECK(false && "unknown HashAlgorithm");
  return nullptr;
}
#endif

// One spare context per thread, so that a call on a small page does not pay for
// allocating and freeing a context. A stream takes the spare, or a new context
// when the spare is in use (two streams alive at once), so no context is ever
// shared; the spare goes back when the stream ends.
thread_local MdCtx spare_ctx(nullptr, &EVP_MD_CTX_free);

EVP_MD_CTX* take_ctx() {
  if (spare_ctx) return spare_ctx.release();
  EVP_MD_CTX* const ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) throw std::bad_alloc();  // becomes MemoryError at the boundary
  return ctx;
}

}  // namespace

void DigestStream::CtxFree::operator()(evp_md_ctx_st* ctx) const noexcept {
  // EVP_DigestInit_ex resets whatever a previous stream left, so a context that
  // failed half-way is as good a spare as a finished one.
  if (!spare_ctx) {
    spare_ctx.reset(ctx);
  } else {
    EVP_MD_CTX_free(ctx);
  }
}

DigestStream::DigestStream(HashAlgorithm alg) : ctx_(take_ctx()) {
  BREVANE_CHECK(EVP_DigestInit_ex(ctx_.get(), evp_md(alg), nullptr) == 1);
}

DigestStream::~DigestStream() = default;

void DigestStream::update(std::string_view bytes) {
  BREVANE_CHECK(!finished_);
  if (bytes.empty()) return;  // an empty view may carry no pointer at all
  BREVANE_CHECK(EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1);
}

std::string DigestStream::finish() {
  BREVANE_CHECK(!finished_);
  finished_ = true;
  std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
  unsigned int size = 0;
  BREVANE_CHECK(EVP_DigestFinal_ex(ctx_.get(), out.data(), &size) == 1);
  return {reinterpret_cast<const char*>(out.data()), size};
}

}  // namespace brevane
