// The driver INI file: fenlodrv.ini from the scan result, in the working or the system
// directory.

#include <fmt/format.h>

#include "kvx/config/install_settings.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/files.h"
#include "kvx/scantool/scan_tool.h"
#include "tool_texts.h"

namespace kvx::scantool {

using namespace texts;

namespace {
// The plug-in keeps only the first characters of a CFG= value: a longer file name is written
// as scanned, but the plug-in will not find that file. Empty when every name fits.
std::string CfgNamesTooLong(const std::vector<IniMember>& members) {
    std::string text;
    for (const auto& m : members) {
        if (m.cfgFileName.size() <= config::kMaxCfgNameChars) continue;
        text += fmt::format(
            "[SLAVE{:02}] CFG={} is longer than the {} characters the plug-in "
            "keeps: it will not find this file!\n",
            m.address, m.cfgFileName, config::kMaxCfgNameChars);
    }
    return text;
}
}  // namespace

void CScanToolDlg::OnGenerate() {
    lastFileWritten_ = false;
    CGenerateIniDlg dialog(CurrentDirectory(), env_.windowsDirectory, kDriverIniName);
    dialog.Open();
    if (!fe_.RunGenerateIniDialog(dialog)) return;
    const std::string port = dialog.changePort() ? dialog.chosenPort() : bus_.portName;
    if (port.size() > platform::kMaxPortNameLength) {
        Warn(PortNameTooLong(), kFileError);
        return;
    }
    std::vector<IniMember> members;
    for (int a = 0; a <= kMaxAddress; ++a) {
        const auto& e = scanTable_[static_cast<std::size_t>(a)];
        if (e.present) members.push_back({a, e.cfgFileName, e.memberName});
    }
    const auto now = Now();
    const std::string text =
        DriverIniText(DateText(now), TimeText(now), port, kMaxAddress, members);
    lastFilePath_ = dialog.targetPath();
    if (SaveLastFile(text, {"fenlodrv.ini-file not found!", "fenlodrv.ini-file was not closed!",
                            "Can\xB4t write .ini file!"})) {
        if (const auto warning = CfgNamesTooLong(members); !warning.empty())
            Warn(warning, kCfgError);
    }
}

}  // namespace kvx::scantool
