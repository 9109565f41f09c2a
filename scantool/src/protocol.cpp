// The test protocol: the save dialog, then the text or table layout written whole.

#include "kvx/platform/file_name_text.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/files.h"
#include "kvx/scantool/scan_tool.h"
#include "tool_texts.h"

namespace kvx::scantool {

using namespace texts;

namespace {
constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
}  // namespace

void CScanToolDlg::OnReport() {
    lastFileWritten_ = false;
    const auto dir = CurrentDirectory();
    CSaveProtocolDlg dialog(platform::FileNameToAnsi(dir), kSeparator);
    dialog.Open();
    const bool ok = fe_.RunSaveProtocolDialog(dialog);
    if (dialog.outcome() == CSaveProtocolDlg::Outcome::ExtensionError) {
        Warn("Extension Error", kFileError);
        return;
    }
    if (dialog.outcome() == CSaveProtocolDlg::Outcome::NotAFileName) {
        Warn(dialog.fileName() + " is no file name in the current directory!", kFileError);
        return;
    }
    if (!ok || dialog.outcome() != CSaveProtocolDlg::Outcome::Ok || dialog.fileName().empty())
        return;

    ProtocolData data;
    data.comment = dialog.comment();
    data.dateText = DateText(Now());
    data.startText = startText_;
    data.endText = endText_;
    data.memberLines = memberList_;
    data.maxAddress = kMaxAddress;
    data.elapsedText = elapsedField_;
    data.requestDelay = requestDelay_;
    const std::string text = dialog.fileType() == 0 ? TextProtocol(data) : TableProtocol(data);

    // The name is ANSI text like the comment it may follow; the file system has its own.
    lastFilePath_ = dir / platform::FileNameFromAnsi(dialog.fileName());
    SaveLastFile(text, {dialog.fileName() + " was not opened!", ".txt-file was not closed!",
                        "Can\xB4t write Protokoll!"});
}

}  // namespace kvx::scantool
