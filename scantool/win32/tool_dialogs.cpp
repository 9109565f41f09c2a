#include "tool_dialogs.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

#include "resource.h"
#include "text.h"

namespace kvx::scantool::win32 {

namespace {

HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

// The dialog procedure over a handler object: `Init` for WM_INITDIALOG, `On` for every
// other message.
template <class T>
INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        reinterpret_cast<T*>(lParam)->Init(hwnd);
        return TRUE;
    }
    auto* self = reinterpret_cast<T*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    return self ? self->On(hwnd, message, wParam, lParam) : FALSE;
}

template <class T>
bool RunModal(HWND owner, int templateId, T& handler) {
    return ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(templateId), owner, &Procedure<T>,
                             reinterpret_cast<LPARAM>(&handler)) == IDOK;
}

void Check(HWND hwnd, int id, bool on) {
    ::CheckDlgButton(hwnd, id, on ? BST_CHECKED : BST_UNCHECKED);
}

void AddEntry(HWND hwnd, int id, const std::wstring& text) {
    ::SendDlgItemMessageW(hwnd, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring EntryText(HWND hwnd, int id, int index) {
    const auto n = ::SendDlgItemMessageW(hwnd, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (n < 0) return {};
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    ::SendDlgItemMessageW(hwnd, id, CB_GETLBTEXT, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

int Selection(HWND hwnd, int id) {
    return static_cast<int>(::SendDlgItemMessageW(hwnd, id, CB_GETCURSEL, 0, 0));
}

// ---- cycles ---------------------------------------------------------------------------

struct Cycles {
    CCyclesDlg& dialog;
    bool showing = false;  // the number field is being set here, not typed

    void Init(HWND hwnd) {
        ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_SETRANGEMIN, FALSE, CCyclesDlg::kMinCycles);
        ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_SETRANGEMAX, FALSE, CCyclesDlg::kMaxCycles);
        ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_SETPAGESIZE, 0, 100);
        ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_SETTICFREQ, 1000, 0);
        SetItemText(hwnd, IDC_MIN_LABEL, FromAnsi(dialog.minLabel()));
        SetItemText(hwnd, IDC_MAX_LABEL, FromAnsi(dialog.maxLabel()));
        Show(hwnd, true);
    }

    void Show(HWND hwnd, bool numberToo) {
        ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_SETPOS, TRUE, dialog.cycles());
        if (numberToo) {
            showing = true;
            SetItemText(hwnd, IDC_CYCLES, FromAnsi(dialog.numberText()));
            showing = false;
        }
        SetItemText(hwnd, IDC_ESTIMATE, FromAnsi(dialog.estimateText()));
    }

    INT_PTR On(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
        if (message == WM_HSCROLL) {
            dialog.SetPosition(static_cast<int>(
                ::SendDlgItemMessageW(hwnd, IDC_TRACKBAR, TBM_GETPOS, 0, 0)));
            Show(hwnd, true);
            return TRUE;
        }
        if (message != WM_COMMAND) return FALSE;
        const int id = LOWORD(wParam);
        if (id == IDC_CYCLES && HIWORD(wParam) == EN_CHANGE && !showing) {
            dialog.SetNumberText(ToAnsi(ItemText(hwnd, IDC_CYCLES)));
            Show(hwnd, false);
        } else if (id == IDC_CYCLES && HIWORD(wParam) == EN_KILLFOCUS) {
            Show(hwnd, true);
        } else if (id == IDOK || id == IDCANCEL) {
            ::EndDialog(hwnd, id);
        }
        return TRUE;
    }
};

// ---- save protocol --------------------------------------------------------------------

struct SaveProtocol {
    CSaveProtocolDlg& dialog;
    bool showing = false;

    void Init(HWND hwnd) {
        SetItemText(hwnd, IDC_DIRECTORY, FromAnsi(dialog.directoryDisplay()));
        ::SendDlgItemMessageW(hwnd, IDC_COMMENT, EM_LIMITTEXT, CSaveProtocolDlg::kCommentLimit, 0);
        for (const char* entry : CSaveProtocolDlg::kTypeEntries) {
            AddEntry(hwnd, IDC_FILE_TYPE, FromAnsi(entry));
        }
        ::SendDlgItemMessageW(hwnd, IDC_FILE_TYPE, CB_SETCURSEL, 1, 0);
        ShowFileName(hwnd);
        ::SetFocus(::GetDlgItem(hwnd, IDC_COMMENT));
    }

    void ShowFileName(HWND hwnd) {
        showing = true;
        SetItemText(hwnd, IDC_FILE_NAME, FromAnsi(dialog.fileName()));
        showing = false;
    }

    INT_PTR On(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
        if (message != WM_COMMAND) return FALSE;
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDC_COMMENT && code == EN_CHANGE) {
            const std::wstring shown = ItemText(hwnd, IDC_COMMENT);
            dialog.SetComment(ToAnsi(shown));
            if (const std::wstring kept = FromAnsi(dialog.comment()); kept != shown) {
                SetItemText(hwnd, IDC_COMMENT, kept);
            }
            ShowFileName(hwnd);
        } else if (id == IDC_CHANGE && code == BN_CLICKED) {
            dialog.PressChange();
            HWND name = ::GetDlgItem(hwnd, IDC_FILE_NAME);
            ::SendMessageW(name, EM_SETREADONLY, FALSE, 0);
            ::SetFocus(name);
            ::SendMessageW(name, EM_SETSEL, 0, -1);
        } else if (id == IDC_FILE_NAME && code == EN_CHANGE && !showing &&
                   dialog.fileNameEditable()) {
            dialog.SetFileName(ToAnsi(ItemText(hwnd, IDC_FILE_NAME)));
        } else if (id == IDC_FILE_TYPE && code == CBN_SELCHANGE) {
            // An entry chosen from the list.
            dialog.CloseTypeList(Selection(hwnd, IDC_FILE_TYPE));
            ShowFileName(hwnd);
        } else if (id == IDC_FILE_TYPE && code == CBN_KILLFOCUS) {
            // Typed text that is no entry.
            const auto entry = ::SendDlgItemMessageW(
                hwnd, IDC_FILE_TYPE, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                reinterpret_cast<LPARAM>(ItemText(hwnd, IDC_FILE_TYPE).c_str()));
            dialog.CloseTypeList(entry == CB_ERR ? -1 : static_cast<int>(entry));
            ShowFileName(hwnd);
        } else if (id == IDOK) {
            const auto outcome = dialog.PressOk();
            ShowFileName(hwnd);
            ::EndDialog(hwnd, outcome == CSaveProtocolDlg::Outcome::Ok ? IDOK : IDCANCEL);
        } else if (id == IDCANCEL) {
            ::EndDialog(hwnd, IDCANCEL);
        }
        return TRUE;
    }
};

// ---- generate -------------------------------------------------------------------------

struct Generate {
    CGenerateIniDlg& dialog;

    void Init(HWND hwnd) {
        SetItemText(hwnd, IDC_CURRENT_DIR, FromAnsi(dialog.currentDirectoryDisplay()));
        SetItemText(hwnd, IDC_WINDOWS_DIR, FromPath(dialog.windowsDirectoryPath()));
        for (const char* port : CGenerateIniDlg::kPortEntries) AddEntry(hwnd, IDC_PORTS, FromAnsi(port));
        SetItemText(hwnd, IDC_PORTS, FromSystem(dialog.portText()));
        Check(hwnd, IDC_SAME_PORT, !dialog.changePort());
        Check(hwnd, IDC_CHANGE_PORT, dialog.changePort());
        const bool current = dialog.targetPath() == dialog.currentDirectoryPath();
        Check(hwnd, IDC_CURRENT_DIR, current);
        Check(hwnd, IDC_WINDOWS_DIR, !current && dialog.targetPath() == dialog.windowsDirectoryPath());
        ShowPorts(hwnd);
    }

    void ShowPorts(HWND hwnd) {
        ::ShowWindow(::GetDlgItem(hwnd, IDC_PORTS), dialog.portListVisible() ? SW_SHOW : SW_HIDE);
    }

    INT_PTR On(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
        if (message != WM_COMMAND) return FALSE;
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (code == BN_CLICKED && id == IDC_CURRENT_DIR) {
            dialog.ChooseCurrentDirectory();
        } else if (code == BN_CLICKED && id == IDC_WINDOWS_DIR) {
            dialog.ChooseWindowsDirectory();
        } else if (code == BN_CLICKED && id == IDC_SAME_PORT) {
            dialog.SelectSamePort();
            ShowPorts(hwnd);
        } else if (code == BN_CLICKED && id == IDC_CHANGE_PORT) {
            dialog.SelectChangePort();
            ShowPorts(hwnd);
        } else if (id == IDC_PORTS && code == CBN_SELCHANGE) {
            dialog.SetPortText(ToSystem(EntryText(hwnd, IDC_PORTS, Selection(hwnd, IDC_PORTS))));
        } else if (id == IDC_PORTS && code == CBN_EDITCHANGE) {
            dialog.SetPortText(ToSystem(ItemText(hwnd, IDC_PORTS)));
        } else if (id == IDOK) {
            dialog.SetPortText(ToSystem(ItemText(hwnd, IDC_PORTS)));
            dialog.PressOk();
            ::EndDialog(hwnd, IDOK);
        } else if (id == IDCANCEL) {
            ::EndDialog(hwnd, IDCANCEL);
        }
        return TRUE;
    }
};

// ---- port selection -------------------------------------------------------------------

struct Port {
    CSelectComPortDlg& dialog;
    FrontEnd& frontEnd;

    void Init(HWND hwnd) {
        for (const auto& name : dialog.entries()) AddEntry(hwnd, IDC_PORT_LIST, FromSystem(name));
        ::SendDlgItemMessageW(hwnd, IDC_PORT_LIST, CB_SETCURSEL,
                              static_cast<WPARAM>(dialog.selected()), 0);
        SetItemText(hwnd, IDC_PORT_LIST, FromSystem(dialog.editText()));
    }

    INT_PTR On(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
        if (message != WM_COMMAND) return FALSE;
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDC_PORT_LIST && code == CBN_SELCHANGE) {
            const int index = Selection(hwnd, IDC_PORT_LIST);
            dialog.Select(index);
            dialog.SetEditText(ToSystem(EntryText(hwnd, IDC_PORT_LIST, index)));
        } else if (id == IDC_PORT_LIST && code == CBN_EDITCHANGE) {
            dialog.SetEditText(ToSystem(ItemText(hwnd, IDC_PORT_LIST)));
        } else if (id == IDC_PORT_TEST && code == BN_CLICKED) {
            dialog.SetEditText(ToSystem(ItemText(hwnd, IDC_PORT_LIST)));
            dialog.PressTest(frontEnd);
        } else if (id == IDOK) {
            dialog.SetEditText(ToSystem(ItemText(hwnd, IDC_PORT_LIST)));
            dialog.PressOk();
            ::EndDialog(hwnd, IDOK);
        } else if (id == IDCANCEL) {
            ::EndDialog(hwnd, IDCANCEL);
        }
        return TRUE;
    }
};

// ---- about ----------------------------------------------------------------------------

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        // Modal: EndDialog; opened beside a running scan: it destroys itself.
        if (::GetWindowLongPtrW(hwnd, DWLP_USER)) {
            ::DestroyWindow(hwnd);
        } else {
            ::EndDialog(hwnd, IDOK);
        }
        return TRUE;
    }
    return FALSE;
}

// ---- progress -------------------------------------------------------------------------

INT_PTR CALLBACK ProgressProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* window = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    // Cancel, Escape and closing only ask; the window stays. Enter (IDOK) does nothing.
    if (window && message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        window->RequestCancel();
        return TRUE;
    }
    return message == WM_COMMAND;
}

class Win32ProgressView final : public ProgressView {
  public:
    explicit Win32ProgressView(HWND hwnd) : hwnd_(hwnd) {}
    ~Win32ProgressView() override { ::DestroyWindow(hwnd_); }

    void Pump(ProgressWindow&) override {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Left for the loop that waits for it.
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            if (!::IsDialogMessageW(hwnd_, &msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
    }

    void Update(const ProgressWindow& window) override {
        HWND bar = ::GetDlgItem(hwnd_, IDC_PROGRESS_BAR);
        ::SendMessageW(bar, PBM_SETRANGE32, static_cast<WPARAM>(window.lower()), window.upper());
        ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(window.position()), 0);
        if (window.kind() == ProgressKind::Scan) {
            SetItemText(hwnd_, IDC_PERCENT, FromAnsi(window.percentText()));
        } else {
            SetItemText(hwnd_, IDC_CYCLE_TEXT, FromAnsi(window.cycleText()));
        }
    }

  private:
    HWND hwnd_;
};

}  // namespace

bool RunCyclesDialog(HWND owner, CCyclesDlg& dialog) {
    Cycles handler{dialog};
    return RunModal(owner, IDD_CYCLES, handler);
}

bool RunSaveProtocolDialog(HWND owner, CSaveProtocolDlg& dialog) {
    SaveProtocol handler{dialog};
    return RunModal(owner, IDD_SAVE_PROTOCOL, handler);
}

bool RunGenerateIniDialog(HWND owner, CGenerateIniDlg& dialog) {
    Generate handler{dialog};
    return RunModal(owner, IDD_GENERATE, handler);
}

bool RunPortDialog(HWND owner, CSelectComPortDlg& dialog, FrontEnd& frontEnd) {
    Port handler{dialog, frontEnd};
    return RunModal(owner, IDD_PORT, handler);
}

void RunAboutDialog(HWND owner) {
    ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0);
}

void OpenAboutDialog(HWND owner) {
    HWND about = ::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner,
                                      AboutProc, 0);
    if (!about) return;
    ::SetWindowLongPtrW(about, DWLP_USER, 1);
    ::ShowWindow(about, SW_SHOW);
}

std::unique_ptr<ProgressView> CreateWin32ProgressView(ProgressWindow& window, HWND owner) {
    const int id = window.kind() == ProgressKind::Scan ? IDD_SCAN_PROGRESS : IDD_TEST_PROGRESS;
    HWND hwnd = ::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(id), owner, ProgressProc,
                                     reinterpret_cast<LPARAM>(&window));
    if (!hwnd) return nullptr;
    ::SetWindowTextW(hwnd, FromAnsi(window.caption()).c_str());
    if (window.kind() == ProgressKind::Test) {
        // The test's window moves 240 pixels up from where it opened, so the member lines
        // below it stay in sight; it stays on the screen.
        RECT r;
        ::GetWindowRect(hwnd, &r);
        const int top = std::max<int>(r.top - 240, ::GetSystemMetrics(SM_YVIRTUALSCREEN));
        ::SetWindowPos(hwnd, nullptr, r.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    ::ShowWindow(hwnd, SW_SHOW);
    return std::make_unique<Win32ProgressView>(hwnd);
}

}  // namespace kvx::scantool::win32
