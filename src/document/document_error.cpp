// Messages and status codes of DocumentError. The texts are the module's
// contract with its callers: they are spelled exactly and never change.
#include "document/document_error.h"

namespace brevane {
namespace {

std::string_view detail_of(MalformedCause cause) noexcept {
  switch (cause) {
    case MalformedCause::ScriptNotBase64:
      return "script content is not valid Base64";
    case MalformedCause::LinkWithoutHref:
      return "link has no href to resolve";
  }
  return {};
}

}  // namespace

std::string DocumentError::message() const {
  switch (kind_) {
    case DocumentErrorKind::NoManifest:
      return "no C2PA manifest element found in the document head";
    case DocumentErrorKind::MultipleManifests:
      return "more than one C2PA manifest element found";
    case DocumentErrorKind::Malformed:
      return std::string("the C2PA manifest element is malformed: ").append(detail_of(cause_));
    case DocumentErrorKind::NoHead:
      return "the document has no head element to embed into";
    case DocumentErrorKind::ExclusionMalformed:
      return "data hash exclusion range is malformed";
    case DocumentErrorKind::HashMismatch:
      return "data hash does not match the document content";
    case DocumentErrorKind::UnsupportedAlgorithm:
      return std::string("unsupported hash algorithm: ").append(name_);
  }
  return {};
}

std::optional<std::string_view> DocumentError::status_code() const noexcept {
  switch (kind_) {
    case DocumentErrorKind::MultipleManifests:
      return "manifest.html.multipleManifests";
    case DocumentErrorKind::ExclusionMalformed:
      return "assertion.dataHash.malformed";
    case DocumentErrorKind::HashMismatch:
      return "assertion.dataHash.mismatch";
    case DocumentErrorKind::UnsupportedAlgorithm:
      return "algorithm.unsupported";
    case DocumentErrorKind::NoManifest:
    case DocumentErrorKind::Malformed:
    case DocumentErrorKind::NoHead:
      break;
  }
  return std::nullopt;
}

std::string DocumentError::host_message() const {
  std::string text = message();
  if (const auto code = status_code()) text.append(" [").append(*code).append("]");
  return text;
}

}  // namespace brevane
