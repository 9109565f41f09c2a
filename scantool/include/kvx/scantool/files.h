#pragma once
// The files the tool writes: the test protocol in its two layouts and the plug-in's INI file.
// Layouts are built with "\n" line ends and written with CR LF, whole and atomically.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::scantool {

// .txt form of a member line: short fields get a second tab so the columns line up, and the
// blank after "Adr." goes.
std::string TextLine(std::string_view memberLine);
// .xls form of a member line: address without "Adr." and ":", counts split at "/", no "%".
std::string TableLine(std::string_view memberLine);
// The comment with every carriage return removed (line breaks are then plain "\n").
std::string CommentWithoutCR(std::string_view comment);

struct ProtocolData {
    std::string comment;
    std::string dateText;  // date of saving
    std::string startText;
    std::string endText;
    std::vector<std::string> memberLines;  // index = bus address
    int maxAddress = 31;
    std::string elapsedText;  // the elapsed-time field
    int requestDelay = 0;
};

// Layouts with "\n" line ends. In the .txt layout each line break of the comment is a CR LF
// pair (which the file's line ends turn into CR CR LF); the .xls layout drops its CRs.
std::string TextProtocol(const ProtocolData& data);
std::string TableProtocol(const ProtocolData& data);

struct IniMember {
    int address = 0;
    std::string cfgFileName;
    std::string name;
};

std::string DriverIniText(std::string_view dateText, std::string_view timeText,
                          std::string_view port, int maxAddress,
                          const std::vector<IniMember>& members);

// Every "\n" becomes CR LF, as a Windows program reads the file.
std::string WithCrLf(std::string_view text);

enum class SaveResult { Ok, OpenFailed, WriteFailed, CloseFailed };

// Writes `bytes` to a temporary file in the target's directory and renames it over `path`:
// the old file stays whole until the new one is complete. A request to end the program
// (Ctrl-C, SIGTERM) that comes meanwhile takes effect when the file is written.
SaveResult SaveFileAtomically(const std::filesystem::path& path, std::string_view bytes);
// The same with every "\n" written as CR LF.
SaveResult SaveWithCrLf(const std::filesystem::path& path, std::string_view text);

}  // namespace kvx::scantool
