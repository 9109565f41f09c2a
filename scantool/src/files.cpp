#include "kvx/scantool/files.h"

#include <fmt/format.h>

#include "kvx/platform/atomic_file.h"
#include "kvx/platform/console.h"

namespace kvx::scantool {

std::string TextLine(std::string_view memberLine) {
    std::string line(memberLine);
    auto b = line.find('\t');
    if (b != std::string::npos) {
        for (;;) {
            const auto t = line.find('\t', b + 1);
            if (t == std::string::npos) break;
            if (t - b < 9) {
                line.insert(t + 1, 1, '\t');
                b = t + 1;
            } else {
                b = t;
            }
        }
    }
    const auto dot = line.find('.');
    if (dot != std::string::npos && dot + 1 < line.size()) line.erase(dot + 1, 1);
    return line;
}

std::string TableLine(std::string_view memberLine) {
    std::string line(memberLine);
    const auto dot = line.find('.');
    if (dot != std::string::npos) line.erase(0, dot + 1);
    const auto colon = line.find(':');
    if (colon != std::string::npos) line.erase(colon, 1);
    for (char& c : line) {
        if (c == '/') c = '\t';
    }
    const auto percent = line.find('%');
    if (percent != std::string::npos) line.erase(percent, 1);
    return line;
}

std::string CommentWithoutCR(std::string_view comment) {
    std::string text;
    text.reserve(comment.size());
    for (char c : comment) {
        if (c != '\r') text += c;
    }
    return text;
}

namespace {
// Every line break of the comment (LF, CR LF or a lone CR) as one CR LF pair.
std::string CommentWithCrLfBreaks(std::string_view comment) {
    std::string text;
    text.reserve(comment.size() + comment.size() / 16);
    for (std::size_t i = 0; i < comment.size(); ++i) {
        const char c = comment[i];
        if (c == '\r') {
            if (i + 1 < comment.size() && comment[i + 1] == '\n') ++i;
            text += "\r\n";
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    return text;
}

std::string LineOrEmpty(const ProtocolData& data, int address) {
    if (address < 0 || address >= static_cast<int>(data.memberLines.size())) return {};
    return data.memberLines[static_cast<std::size_t>(address)];
}
}  // namespace

std::string TextProtocol(const ProtocolData& data) {
    const std::string dashes(64, '-');
    std::string out;
    // The comment's line breaks are CR LF pairs, as an edit field gives them; the file's own
    // line ends then make each of them CR CR LF, the layout stored protocols have always had.
    out += CommentWithCrLfBreaks(data.comment);
    out += "\n\n";
    out += data.dateText + "  --  Start: " + data.startText + " -- End: " + data.endText + "\n\n";
    out += "Adr.\tname\t\tconfig\t\tOK / Cycles\tin %\n";
    out += dashes + "\n";
    for (int a = 0; a <= data.maxAddress; ++a) out += TextLine(LineOrEmpty(data, a)) + "\n";
    std::string elapsed = data.elapsedText.substr(0, 39);
    out += dashes + "\nTest-Time: " + elapsed +
           "\nMax. Request-Delay: " + std::to_string(data.requestDelay) + "ms";
    return out;
}

std::string TableProtocol(const ProtocolData& data) {
    std::string out;
    out += data.dateText + "\n\n";
    out += CommentWithoutCR(data.comment) + "\n\n";
    out += "Max. Request-Delay: " + std::to_string(data.requestDelay) +
           "ms\n\nAdr.\tname\tconfig\tOK\tCycles\tin %\n";
    for (int a = 0; a <= data.maxAddress; ++a) out += TableLine(LineOrEmpty(data, a)) + "\n";
    out += "\n\n\tStart:\t" + data.startText + "\n\tEnd:\t" + data.endText + "\n\tTest-Time:\t" +
           data.elapsedText;
    return out;
}

std::string DriverIniText(std::string_view dateText, std::string_view timeText,
                          std::string_view port, int maxAddress,
                          const std::vector<IniMember>& members) {
    std::string out;
    out += "\n;      Init-file for  ZAN Korvex OPC-Server V2.x \n";
    out += fmt::format(";              Last Update {} - {} \n\n", dateText, timeText);
    out += fmt::format("[RS232]\nCOM={}\n\n;----- only used by V1.x----\n", port);
    out += fmt::format("[KXBUS]\nMAXADR={}\n;---------------------------\n\n", maxAddress);
    for (const auto& m : members) {
        out += fmt::format("[SLAVE{:02}]\nCFG={}\nNAME={}\n\n", m.address, m.cfgFileName, m.name);
    }
    return out;
}

std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

SaveResult SaveFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    platform::FileWriteFailure failure = platform::FileWriteFailure::None;
    {
        // A request to end the program waits until the file is written whole.
        const platform::TerminationHold hold;
        if (platform::WriteFileAtomically(path, bytes, nullptr, &failure)) return SaveResult::Ok;
    }
    // The step that failed decides which of the tool's messages fits: a target that may not
    // be written or created counts as not opened; the old file is untouched in every case.
    switch (failure) {
        case platform::FileWriteFailure::Open:
            return SaveResult::OpenFailed;
        case platform::FileWriteFailure::Close:
            return SaveResult::CloseFailed;
        default:
            return SaveResult::WriteFailed;
    }
}

SaveResult SaveWithCrLf(const std::filesystem::path& path, std::string_view text) {
    return SaveFileAtomically(path, WithCrLf(text));
}

}  // namespace kvx::scantool
