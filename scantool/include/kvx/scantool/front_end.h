#pragma once
// What the tool's core needs from its front end (a terminal or a window system): message
// boxes, the Yes/No question, the modal dialogs, progress windows and notices of changed
// state. The core decides every value; the front end only shows and asks.

#include <memory>
#include <string_view>

#include "kvx/scantool/progress.h"

namespace kvx::scantool {

class CCyclesDlg;
class CSaveProtocolDlg;
class CGenerateIniDlg;
class CSelectComPortDlg;

enum class MessageIcon { Information, Warning };

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;

    // A message box. Texts are 8-bit ANSI (Windows-1252) as the tool keeps them.
    virtual void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(std::string_view text, std::string_view caption) = 0;

    // Modal dialogs: the front end drives the dialog object's operations (opening is done
    // by the core before the call) and returns true when the user pressed OK.
    virtual bool RunCyclesDialog(CCyclesDlg& dialog) = 0;
    virtual bool RunSaveProtocolDialog(CSaveProtocolDlg& dialog) = 0;
    virtual bool RunGenerateIniDialog(CGenerateIniDlg& dialog) = 0;
    virtual bool RunPortDialog(CSelectComPortDlg& dialog) = 0;

    // A modeless progress window; nullptr when it cannot be created (the work then runs
    // without one).
    virtual std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow& window) = 0;

    // Change notices; the front end reads the new state from the core.
    virtual void MemberListReset() {}
    virtual void MemberLineAdded(int /*index*/) {}
    virtual void MemberLineReplaced(int /*index*/) {}
    virtual void ButtonsChanged() {}
    // Port label, cycle field or elapsed-time field.
    virtual void StatusChanged() {}

    // Requests to end the program (Ctrl-C, SIGTERM) since the last look. A running scan or
    // test takes them as its Cancel button; a second request before the tool has acted on
    // the first ends the program at once (the front end's counter sees to that).
    virtual int TakeStopRequests() { return 0; }
    // The tool has acted on the requests so far (the scan's question was answered, the
    // sequence ended): the next request counts as a first one again.
    virtual void StopRequestsSettled() {}
};

}  // namespace kvx::scantool
