// The library's version, as the Python module's __version__ reports it.
#pragma once

#include <string_view>

#include "brevane/export.h"

namespace brevane {

// "0.2.0": static storage, the same text as brevane_version().
BREVANE_API std::string_view version() noexcept;

}  // namespace brevane
