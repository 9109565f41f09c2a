#pragma once
// Texts between the tool's core and the widgets. The core keeps texts (messages, member
// lines, comments, file names shown in dialogs) in the ANSI code page (Windows-1252), and port
// names and paths as the system's names (UTF-8); widgets hold Unicode.

#include <QString>
#include <filesystem>
#include <string>
#include <string_view>

#include "kvx/platform/codepage.h"

namespace kvx::scantool::gui {

inline QString FromAnsi(std::string_view ansi) {
    return QString::fromStdString(platform::AnsiToUtf8(ansi));
}

inline std::string ToAnsi(const QString& text) {
    return platform::Utf8ToAnsi(text.toStdString());
}

inline QString FromSystem(std::string_view name) {
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

inline std::string ToSystem(const QString& name) {
    return name.toStdString();
}

inline QString FromPath(const std::filesystem::path& path) {
    return FromSystem(path.string());
}

inline std::filesystem::path ToPath(const QString& name) {
    const QByteArray utf8 = name.toUtf8();
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()),
                                               static_cast<std::size_t>(utf8.size())));
}

}  // namespace kvx::scantool::gui
