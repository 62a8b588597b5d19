// The chart library the pages inline (Chart.js, from Debian's libjs-chart.js)
// and its licence text, embedded at build time by embed_library.cmake.
#pragma once

#include <string_view>

namespace tarnwick {

// The minified library, as the package ships it.
[[nodiscard]] std::string_view chart_library();

// The package's copyright file: the library's authors and its MIT licence.
[[nodiscard]] std::string_view chart_library_licence();

}  // namespace tarnwick
