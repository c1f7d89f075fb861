// The incremental SHA-2 digest: the FIPS 180-4 example vectors for all three
// algorithms, and the properties the hard binding leans on when it feeds a
// document span by span.
#include "hardbinding/sha2.h"

#include <array>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hardbinding/data_hash.h"

namespace brevane {
namespace {

std::string to_hex(std::string_view bytes) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

const std::string kMillionA(1000000, 'a');
constexpr std::string_view k448Bits = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr std::string_view k896Bits =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
    "qrsmnopqrstnopqrstu";

struct Vector {
  HashAlgorithm alg;
  std::string_view message;
  std::string_view hex;
};

// FIPS 180-4 examples (NIST CSRC "Examples with intermediate values") and the
// one-million-"a" message of the NIST test suites.
const std::vector<Vector>& nist_vectors() {
  static const std::vector<Vector> vectors = {
      {HashAlgorithm::Sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {HashAlgorithm::Sha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {HashAlgorithm::Sha256, k448Bits,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {HashAlgorithm::Sha256, k896Bits,
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {HashAlgorithm::Sha256, kMillionA,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {HashAlgorithm::Sha384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c"
       "825a7"},
      {HashAlgorithm::Sha384, "",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f1489"
       "8b95b"},
      {HashAlgorithm::Sha384, k448Bits,
       "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c"
       "8452b"},
      {HashAlgorithm::Sha384, k896Bits,
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa917"
       "46039"},
      {HashAlgorithm::Sha384, kMillionA,
       "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3"
       "d8985"},
      {HashAlgorithm::Sha512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
       "eebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {HashAlgorithm::Sha512, "",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877"
       "eec2f63b931bd47417a81a538327af927da3e"},
      {HashAlgorithm::Sha512, k448Bits,
       "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea577"
       "89ca031ad85c7a71dd70354ec631238ca3445"},
      {HashAlgorithm::Sha512, k896Bits,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b"
       "5433ac7d329eeb6dd26545e96e55b874be909"},
      {HashAlgorithm::Sha512, kMillionA,
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce57"
       "7c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
  };
  return vectors;
}

constexpr std::array kAlgorithms = {HashAlgorithm::Sha256, HashAlgorithm::Sha384,
                                    HashAlgorithm::Sha512};

std::string one_shot(HashAlgorithm alg, std::string_view bytes) {
  DigestStream stream(alg);
  stream.update(bytes);
  return stream.finish();
}

TEST(DigestStream, NistVectors) {
  for (const Vector& v : nist_vectors()) {
    SCOPED_TRACE(std::string(hash_algorithm_name(v.alg)) + " of " +
                 std::to_string(v.message.size()) + " bytes");
    EXPECT_EQ(to_hex(one_shot(v.alg, v.message)), v.hex);
  }
}

// The million "a" fed in uneven pieces, as a document's kept spans arrive.
TEST(DigestStream, NistVectorsFedInPieces) {
  for (const Vector& v : nist_vectors()) {
    SCOPED_TRACE(std::string(hash_algorithm_name(v.alg)) + " of " +
                 std::to_string(v.message.size()) + " bytes");
    DigestStream stream(v.alg);
    std::size_t at = 0;
    for (std::size_t piece = 1; at < v.message.size(); piece = piece * 3 + 1) {
      const std::string_view part = v.message.substr(at, piece);
      stream.update(part);
      at += part.size();
    }
    EXPECT_EQ(to_hex(stream.finish()), v.hex);
  }
}

// Streams reuse a spare context: two alive at once must never share one, and a
// stream dropped half-way must leave nothing behind for the next.
TEST(DigestStream, StreamsAliveAtOnceStayApart) {
  for (const HashAlgorithm first : kAlgorithms) {
    for (const HashAlgorithm second : kAlgorithms) {
      SCOPED_TRACE(std::string(hash_algorithm_name(first)) + " beside " +
                   std::string(hash_algorithm_name(second)));
      DigestStream a(first);
      a.update("ab");
      {
        DigestStream abandoned(second);
        abandoned.update("left half-way");
      }
      DigestStream b(second);
      b.update(k448Bits);
      a.update("c");
      EXPECT_EQ(to_hex(a.finish()), to_hex(one_shot(first, "abc")));
      EXPECT_EQ(b.finish(), one_shot(second, k448Bits));
      DigestStream after(second);
      EXPECT_EQ(after.finish(), one_shot(second, ""));
    }
  }
}

}  // namespace
}  // namespace brevane
