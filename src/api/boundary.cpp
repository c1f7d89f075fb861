// The library APIs' edge: core errors and exceptions into public Error values.
#include "api/boundary.h"

#include <exception>
#include <new>
#include <string>

#include "check.h"

namespace brevane::api {
namespace {

// Short enough for the string's own buffer: reporting a failed allocation
// allocates nothing.
Error out_of_memory() noexcept { return {ErrorKind::OutOfMemory, "out of memory"}; }

}  // namespace

ErrorKind kind_of(DocumentErrorKind kind) noexcept {
  switch (kind) {
    case DocumentErrorKind::NoManifest:
      return ErrorKind::NoManifest;
    case DocumentErrorKind::MultipleManifests:
      return ErrorKind::MultipleManifests;
    case DocumentErrorKind::Malformed:
      return ErrorKind::Malformed;
    case DocumentErrorKind::NoHead:
      return ErrorKind::NoHead;
    case DocumentErrorKind::ExclusionMalformed:
      return ErrorKind::ExclusionMalformed;
    case DocumentErrorKind::HashMismatch:
      return ErrorKind::HashMismatch;
    case DocumentErrorKind::UnsupportedAlgorithm:
      return ErrorKind::UnsupportedAlgorithm;
  }
  return ErrorKind::InternalFault;
}

Error to_error(const DocumentError& error) {
  return {kind_of(error.kind()), error.host_message(), error.status_code().value_or("")};
}

Error current_fault() noexcept {
  std::string_view description = kUndescribedFault;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
  }
  try {
    return {ErrorKind::InternalFault, std::string(description)};
  } catch (...) {
    return out_of_memory();
  }
}

Error invalid_argument(std::string_view parameter, std::string_view problem) {
  return {ErrorKind::InvalidArgument,
          std::string("argument '").append(parameter).append("': ").append(problem)};
}

}  // namespace brevane::api
