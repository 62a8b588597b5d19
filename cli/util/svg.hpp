// What every SVG the program draws needs: axis ticks and escaped text.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// Axis ticks at 1, 2 or 5 times a power of ten, covering [low, high] with
// about `count` intervals; the first tick is at or below low, the last at or
// above high.
[[nodiscard]] std::vector<double> nice_ticks(double low, double high, int count = 5);

// Text safe inside an XML element or attribute.
[[nodiscard]] std::string xml_escape(const std::string& text);

}  // namespace tarnwick
