// The streamed form of hashing with exclusions, shared by compute, verify, the
// tests and the fuzz target: the digest of the bytes that hashed_content would
// gather, fed span by span from the caller's buffer so that no copy of the
// document is made.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "document/manifest_elements.h"
#include "document/result.h"
#include "hardbinding/data_hash.h"

namespace brevane {

// ExclusionMalformed exactly when hashed_content fails on the same list;
// otherwise digest(alg, hashed_content(html, exclusions)).
Result<std::string> digest_outside(HashAlgorithm alg, std::string_view html,
                                   std::span<const ByteRange> exclusions);

}  // namespace brevane
