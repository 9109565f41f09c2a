#pragma once
// What every benchmark shares: the wire time from first principles, the options for rounds
// and tolerance, and the verdict that turns figures into the exit code.
//
// Options (after a benchmark's own positional arguments, in any place):
//   --rounds N      repeat the whole measurement N times; each figure is the median of the
//                   rounds' figures (default 1)
//   --tolerance T   widen every bound that machine load pushes against by the fraction T:
//                   an upper bound U becomes U x (1 + T), a lower bound on a rate L becomes
//                   L / (1 + T). Bounds that only a wrong reference can miss stay. (default 0)
// Exit code: 0 every target met, 1 a target missed, 2 nothing could be measured.

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::bench {

// One character on the line: 11 bit times (start, 8 data, parity, stop) at 19200 baud.
inline constexpr double kByteMs = 11.0 * 1000.0 / 19200.0;

struct Options {
    int rounds = 1;
    double tolerance = 0.0;
    std::vector<std::string> positional;

    // True when the benchmark's own switch `name` was given (it is taken out of the
    // positional arguments).
    bool takeFlag(std::string_view name) {
        const auto it = std::find(positional.begin(), positional.end(), name);
        if (it == positional.end()) return false;
        positional.erase(it);
        return true;
    }
    // The positional argument `index` as a number, or `fallback` when not given.
    double number(std::size_t index, double fallback) const {
        return index < positional.size() ? std::atof(positional[index].c_str()) : fallback;
    }
};

// Parses the shared options and keeps the rest as positional arguments. Exits with code 2 on
// a malformed option.
inline Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--rounds" || arg == "--tolerance") {
            char* end = nullptr;
            const double value = i + 1 < argc ? std::strtod(argv[i + 1], &end) : -1.0;
            if (end == nullptr || *end != '\0' || value < 0.0 ||
                (arg == "--rounds" && value < 1.0)) {
                fmt::print(stderr, "{}: {} needs a number ({} for rounds, >= 0 for tolerance)\n",
                           argv[0], arg, ">= 1");
                std::exit(2);
            }
            if (arg == "--rounds") {
                options.rounds = static_cast<int>(value);
            } else {
                options.tolerance = value;
            }
            ++i;
        } else {
            options.positional.emplace_back(arg);
        }
    }
    return options;
}

// Median of a set of figures (the upper middle one for an even count).
inline double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Checks figures against their targets, prints one line per check and gives the exit code.
class Verdict {
  public:
    explicit Verdict(double tolerance) : tolerance_(tolerance) {}

    // `value` must not exceed `limit`. Load pushes such figures up: the tolerance widens it
    // unless `exact` (a bound that only a wrong reference or a fault can miss).
    void atMost(std::string_view figure, double value, double limit, bool exact = false) {
        const double bound = exact ? limit : limit * (1.0 + tolerance_);
        record(figure, value, value <= bound, fmt::format("<= {:g}", bound), limit, bound);
    }
    // `value` must reach `limit`. Rates are pushed down by load: the tolerance lowers the
    // bound unless `exact`.
    void atLeast(std::string_view figure, double value, double limit, bool exact = false) {
        const double bound = exact ? limit : limit / (1.0 + tolerance_);
        record(figure, value, value >= bound, fmt::format(">= {:g}", bound), limit, bound);
    }
    // Nothing to judge: the measurement itself failed.
    void nothingMeasured(std::string_view why) {
        fmt::print("NOT MEASURED: {}\n", why);
        unmeasured_ = true;
    }
    // 0 all met, 1 a target missed, 2 something could not be measured.
    int exitCode() const { return unmeasured_ ? 2 : (missed_ ? 1 : 0); }

  private:
    void record(std::string_view figure, double value, bool met, const std::string& target,
                double limit, double bound) {
        std::string widened;
        if (bound != limit)
            widened = fmt::format(", target {:g} with tolerance {:g}", limit, tolerance_);
        fmt::print("{}: {} = {:.4g} ({}{})\n", met ? "PASS" : "FAIL", figure, value, target,
                   widened);
        if (!met) missed_ = true;
    }

    double tolerance_;
    bool missed_ = false;
    bool unmeasured_ = false;
};

}  // namespace kvx::bench
