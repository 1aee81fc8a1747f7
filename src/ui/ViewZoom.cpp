#include "ui/ViewZoom.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace bw {

namespace {

constexpr std::array kSteps{0.5, 0.67, 0.8, 0.9, 1.0, 1.1, 1.25,
                            1.5, 1.75, 2.0, 2.5, 3.0, 3.5, 4.0};
constexpr double kDesignedDotsPerInch = 96.0;

}  // namespace

double ViewZoom::forScreen(double physicalDotsPerInch, double devicePixelRatio) {
    if (!std::isfinite(physicalDotsPerInch) || physicalDotsPerInch <= 0.0) return 1.0;
    const double ratio =
        std::isfinite(devicePixelRatio) && devicePixelRatio > 0.0 ? devicePixelRatio : 1.0;
    const double wanted = physicalDotsPerInch / kDesignedDotsPerInch / ratio;
    const double nearest = *std::min_element(
        kSteps.begin(), kSteps.end(),
        [wanted](double a, double b) { return std::abs(a - wanted) < std::abs(b - wanted); });
    return std::clamp(nearest, 1.0, kLargest);
}

double ViewZoom::bigger(double zoom) {
    for (const double step : kSteps) {
        if (step > zoom + 1e-3) return step;
    }
    return kLargest;
}

double ViewZoom::smaller(double zoom) {
    for (auto step = kSteps.rbegin(); step != kSteps.rend(); ++step) {
        if (*step < zoom - 1e-3) return *step;
    }
    return kSmallest;
}

std::optional<double> ViewZoom::parse(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    double value = 0.0;
    const char* end = text->data() + text->size();
    const auto [rest, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || rest != end || !std::isfinite(value)) return std::nullopt;
    if (value < kSmallest - 1e-9 || value > kLargest + 1e-9) return std::nullopt;
    return value;
}

std::string ViewZoom::format(double zoom) {
    // Not printf: the window's locale may write a decimal comma.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, zoom, std::chars_format::fixed, 2);
    return std::string(text, result.ptr);
}

}  // namespace bw
