// The C++ twin of consumer.c: the same steps through <brevane/brevane.hpp>,
// the same transcript.
#include <brevane/brevane.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int failed(const char* what, const brevane::Error& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.message().c_str());
  return 1;
}

std::string hex(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    text += kDigits[static_cast<unsigned char>(c) >> 4];
    text += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PAGE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("brevane %s\n", std::string(brevane::version()).c_str());

  const auto ranges = brevane::locate_all(page);
  if (!ranges) return failed("locate_all", ranges.error());
  std::printf("located: %zu element(s), first at %llu+%llu\n", ranges->size(),
              static_cast<unsigned long long>(ranges->front().start),
              static_cast<unsigned long long>(ranges->front().length));

  const auto association = brevane::extract(page);
  if (!association) return failed("extract", association.error());
  const brevane::ManifestAssociation& found = association->value();
  const bool embedded = found.kind == brevane::ElementKind::Embedded;
  std::printf("extracted: %s, %zu payload bytes\n", embedded ? "embedded" : "referenced",
              (embedded ? found.store : found.href).size());

  const auto binding = brevane::compute_data_hash(page, "sha256");
  if (!binding) return failed("compute_data_hash", binding.error());
  std::printf("bound: %s %s excluding %zu range(s)\n", std::string(binding->alg).c_str(),
              hex(binding->hash).c_str(), binding->exclusions.size());

  if (const auto error = brevane::verify_data_hash(page, binding->hash, binding->exclusions)) {
    return failed("verify_data_hash", *error);
  }
  std::printf("verified\n");
  page[page.size() - 2] ^= 1;  // a byte of the body: covered by the hash
  const auto mismatch = brevane::verify_data_hash(page, binding->hash, binding->exclusions);
  if (!mismatch) return 1;
  std::printf("tampered: %s (%s)\n", mismatch->message().c_str(),
              std::string(mismatch->status_code()).c_str());
  page[page.size() - 2] ^= 1;

  // Hash, then sign, then embed: the bare page's digest is the binding's hash.
  const auto bare = brevane::remove(page);
  if (!bare) return failed("remove", bare.error());
  const auto predicted = brevane::inline_hash_before_embed(*bare);
  if (!predicted) return failed("inline_hash_before_embed", predicted.error());
  std::printf("predicted: %s\n",
              *predicted == binding->hash ? "the binding's hash" : "another hash");
  const auto again = brevane::embed(*bare, found.store);
  if (!again) return failed("embed", again.error());
  std::printf("re-embedded: %s\n", *again == page ? "the same page" : "another page");
  const auto linked = brevane::embed_reference(*bare, "m.c2pa");
  if (!linked) return failed("embed_reference", linked.error());
  std::printf("linked: %zu bytes\n", linked->size());
  return 0;
}
