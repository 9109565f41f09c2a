#pragma once
// Small text helpers shared by the scan, the test, the protocol and the INI generation:
// date and time texts, the member line prefix, the answer counts and percentages, the
// elapsed time of a test, the cycles estimate and the shortened directory display.

#include <cstdint>
#include <string>
#include <string_view>

namespace kvx::scantool {

// One reading of the local clock.
struct LocalDateTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Source of local time, replaceable so that tests can run a test across midnight.
class LocalClock {
  public:
    virtual ~LocalClock() = default;
    virtual LocalDateTime Now() = 0;
};

// The machine's local clock.
LocalClock& SystemLocalClock();

// "7.03.2001": day without leading zero, month with two digits, four-digit year.
std::string DateText(const LocalDateTime& t);
// "9:05:07": hour without leading zero, minutes and seconds with two digits.
std::string TimeText(const LocalDateTime& t);

// "Adr. 05:\t" for bus address 5.
std::string MemberLinePrefix(int address);

// A count with a "0" in front when it is at most 9 ("07", "10", "123").
std::string TwoDigitCount(int value);

// The share of complete answers, rounded to a 32-bit float as the figures are kept.
float AnswerPercent(int okCount, int completedCycles);

// "100,00%", " 70,00%", "  0,00%", "  ,50%" (see the member lines after a test).
std::string PercentText(float percent);

// Cycle field: completed cycles + extra, " / ", N, " ".
std::string CycleFieldText(int cycles, int requested);

// Time of day in seconds for the elapsed-time computation.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Seconds from start to end as times of day; a negative difference wraps by one day.
int ElapsedSeconds(const TimeOfDay& start, const TimeOfDay& end);
// "0:00:40 ": whole hours, minutes and seconds with two digits, then a blank.
std::string ElapsedText(const TimeOfDay& start, const TimeOfDay& end);

// Estimated duration of a test: "15 sec ", "1 h 23 min 20 sec ", "" for 0 seconds.
std::string DurationEstimateText(int seconds);

// Directory display of the save and generate dialogs: texts shorter than 37 characters are
// shown whole, longer ones as their first three characters, " ..." and the separator, and
// the last directory name; the separator is appended in both cases.
std::string DirectoryDisplay(std::string_view directory, char separator);

}  // namespace kvx::scantool
