// brevane's C++ API: manifest location, extraction, removal and embedding for
// HTML pages, and the c2pa.hash.data binding, over borrowed bytes. Results are
// values (Expected<T>, or an optional Error); no exception leaves a call.
// Each header below holds one concern; this one only gathers them.
#pragma once

#include "brevane/association.hpp"  // IWYU pragma: export
#include "brevane/byte_range.hpp"   // IWYU pragma: export
#include "brevane/data_hash.hpp"    // IWYU pragma: export
#include "brevane/document.hpp"     // IWYU pragma: export
#include "brevane/error.hpp"        // IWYU pragma: export
#include "brevane/expected.hpp"     // IWYU pragma: export
#include "brevane/version.hpp"      // IWYU pragma: export
