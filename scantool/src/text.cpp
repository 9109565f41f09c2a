#include "kvx/scantool/text.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <mutex>

namespace kvx::scantool {

namespace {
class SystemClock final : public LocalClock {
  public:
    LocalDateTime Now() override {
        std::time_t now = std::time(nullptr);
        // std::localtime shares one buffer; the tool reads the clock from one thread, but a
        // lock keeps a second user from tearing a reading.
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        const std::tm* tm = std::localtime(&now);
        LocalDateTime t;
        if (tm != nullptr) {
            t.year = tm->tm_year + 1900;
            t.month = tm->tm_mon + 1;
            t.day = tm->tm_mday;
            t.hour = tm->tm_hour;
            t.minute = tm->tm_min;
            t.second = tm->tm_sec;
        }
        return t;
    }
};
}  // namespace

LocalClock& SystemLocalClock() {
    static SystemClock clock;
    return clock;
}

std::string DateText(const LocalDateTime& t) {
    return fmt::format("{}.{:02}.{:04}", t.day, t.month, t.year);
}

std::string TimeText(const LocalDateTime& t) {
    return fmt::format("{}:{:02}:{:02}", t.hour, t.minute, t.second);
}

std::string MemberLinePrefix(int address) {
    return fmt::format("Adr. {}{}:\t", address <= 9 ? "0" : "", address);
}

std::string TwoDigitCount(int value) {
    return fmt::format("{}{}", value <= 9 ? "0" : "", value);
}

float AnswerPercent(int okCount, int completedCycles) {
    if (completedCycles <= 0) return 0.0f;
    return static_cast<float>(static_cast<double>(okCount) / completedCycles * 100.0);
}

std::string PercentText(float percent) {
    const double p = percent;
    // Digits of p rounded to two decimals, without sign and point: no leading zeros in the
    // integer part, always two decimal digits.
    long long hundredths = std::llround(std::fabs(p) * 100.0);
    std::string digits = fmt::format("{:02}", hundredths);
    digits.insert(digits.size() - 2, ",");

    std::string text;
    if (p < 100.0) text += ' ';
    if (p < 10.0) text += ' ';
    if (p == 0.0) text += '0';
    text += digits;
    text += '%';
    return text;
}

std::string CycleFieldText(int cycles, int requested) {
    return fmt::format("{} / {} ", cycles, requested);
}

int ElapsedSeconds(const TimeOfDay& start, const TimeOfDay& end) {
    const int s = start.hour * 3600 + start.minute * 60 + start.second;
    const int e = end.hour * 3600 + end.minute * 60 + end.second;
    int d = e - s;
    if (d < 0) d += 24 * 3600;
    return d;
}

std::string ElapsedText(const TimeOfDay& start, const TimeOfDay& end) {
    const int d = ElapsedSeconds(start, end);
    return fmt::format("{}:{:02}:{:02} ", d / 3600, (d % 3600) / 60, d % 60);
}

std::string DurationEstimateText(int seconds) {
    const int h = seconds / 3600;
    const int m = (seconds % 3600) / 60;
    const int s = seconds % 60;
    std::string text;
    if (h != 0) text += fmt::format("{} h ", h);
    if (m != 0) text += fmt::format("{} min ", m);
    if (s != 0) text += fmt::format("{} sec ", s);
    return text;
}

std::string DirectoryDisplay(std::string_view directory, char separator) {
    std::string text;
    if (directory.size() < 37) {
        text = std::string(directory);
    } else {
        auto last = directory.rfind(separator);
        text = std::string(directory.substr(0, 3)) + " ..." + separator +
               std::string(last == std::string_view::npos ? directory : directory.substr(last + 1));
    }
    text += separator;
    return text;
}

}  // namespace kvx::scantool
