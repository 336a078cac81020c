#include "lumora/CaptureBackend.h"

#include <algorithm>
#include <cmath>

namespace lumora {

VideoSize fittedOutputSize(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return {};
    double factor =
        std::min({1.0, double(maximumOutputWidth) / double(width), double(maximumOutputHeight) / double(height)});
    auto even = [](double v) { return std::max<std::int64_t>(2, std::int64_t(std::floor(v / 2.0)) * 2); };
    return {even(double(width) * factor), even(double(height) * factor)};
}

}  // namespace lumora
