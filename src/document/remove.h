// Removal: cuts the range of every manifest element of the head out of the
// document and keeps every other byte, in order. Never fails.
#pragma once

#include <string_view>

#include "document/byte_sink.h"

namespace brevane {

// Asks the sink once for the output's exact size and writes the kept spans.
void remove_into(std::string_view html, ByteSink& sink);

}  // namespace brevane
