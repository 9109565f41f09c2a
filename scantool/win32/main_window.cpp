#include "main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <stdexcept>

#include "resource.h"
#include "text.h"
#include "tool_dialogs.h"

namespace kvx::scantool::win32 {

namespace {

struct ButtonFace {
    Button id;
    int control;
    const char* picture;
    UINT tip;  // 0: none
};

constexpr std::array<ButtonFace, 6> kButtons = {{
    {Button::Scan, IDC_SCAN, "Scan", IDS_TIP_SCAN},
    {Button::Test, IDC_TEST, "Test", IDS_TIP_TEST},
    {Button::Report, IDC_REPORT, "Report", IDS_TIP_REPORT},
    {Button::Generate, IDC_GENERATE, "Generate", IDS_TIP_GENERATE},
    {Button::Com, IDC_COM, "Com", IDS_TIP_COM},
    {Button::Help, IDC_HELP_BUTTON, "Help", 0},
}};
constexpr std::array<const char*, 4> kStates = {"Up", "Down", "Focus", "Disable"};
constexpr int kPicture = 57;
// The corners outside the tile, left out when a picture is painted.
constexpr COLORREF kClear = RGB(255, 0, 255);

// Member list tab stops in dialog units: name, cfg file, answer counts, percentage.
constexpr std::array<int, 4> kTabStops = {55, 140, 220, 270};

HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

// Runs the sequence of a button after its click has been handled.
constexpr UINT kRunSequence = WM_APP + 1;

}  // namespace

MainWindow::MainWindow(ToolEnvironment environment) : tool_(*this, std::move(environment)) {
    for (std::size_t b = 0; b < kButtons.size(); ++b) {
        for (std::size_t s = 0; s < kStates.size(); ++s) {
            if (kButtons[b].id == Button::Help && s == 3) continue;
            const std::string name = std::string(kButtons[b].picture) + kStates[s];
            bitmaps_[b][s] = static_cast<HBITMAP>(
                ::LoadImageA(Instance(), name.c_str(), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
            if (!bitmaps_[b][s]) throw std::runtime_error("the button picture " + name + " is missing");
        }
    }
    icon_ = ::LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

MainWindow::~MainWindow() {
    if (hwnd_ && !modal_) ::DestroyWindow(hwnd_);
    for (auto& states : bitmaps_) {
        for (HBITMAP bitmap : states) {
            if (bitmap) ::DeleteObject(bitmap);
        }
    }
}

void MainWindow::RunModal() {
    modal_ = true;
    ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainWindow::Proc,
                      reinterpret_cast<LPARAM>(this));
    hwnd_ = nullptr;
}

HWND MainWindow::Open() {
    modal_ = false;
    ::CreateDialogParamW(Instance(), MAKEINTRESOURCEW(IDD_MAIN), nullptr, &MainWindow::Proc,
                         reinterpret_cast<LPARAM>(this));
    if (hwnd_) ::ShowWindow(hwnd_, SW_SHOW);
    return hwnd_;
}

INT_PTR CALLBACK MainWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainWindow*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        self->Initialise();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    return self ? self->Handle(message, wParam, lParam) : FALSE;
}

void MainWindow::Initialise() {
    if (const std::wstring about = LoadText(IDS_ABOUTBOX); !about.empty()) {
        HMENU menu = ::GetSystemMenu(hwnd_, FALSE);
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    // Each picture button takes the size of its picture.
    for (const auto& face : kButtons) {
        ::SetWindowPos(::GetDlgItem(hwnd_, face.control), nullptr, 0, 0, kPicture, kPicture,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    std::array<INT, 4> stops{};
    for (std::size_t i = 0; i < stops.size(); ++i) stops[i] = kTabStops[i];
    ::SendDlgItemMessageW(hwnd_, IDC_MEMBER_LIST, LB_SETTABSTOPS, stops.size(),
                          reinterpret_cast<LPARAM>(stops.data()));

    tooltip_ = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 hwnd_, nullptr, Instance(), nullptr);
    for (const auto& face : kButtons) {
        if (!face.tip || !tooltip_) continue;
        std::wstring tip = LoadText(face.tip);
        TOOLINFOW info{};
        info.cbSize = TTTOOLINFOW_V2_SIZE;
        info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        info.hwnd = hwnd_;
        info.uId = reinterpret_cast<UINT_PTR>(::GetDlgItem(hwnd_, face.control));
        info.lpszText = tip.data();
        ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    }
    ButtonsChanged();
    StatusChanged();
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) Command(LOWORD(wParam));
            return TRUE;
        case kRunSequence:
            RunSequence(static_cast<int>(wParam));
            return TRUE;
        case WM_DRAWITEM:
            DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ShowAbout();
                return TRUE;
            }
            return FALSE;
        case WM_HELP:  // F1
            ShowHelp();
            return TRUE;
        case WM_CLOSE:
            Close();
            return TRUE;
        default:
            return FALSE;
    }
}

void MainWindow::Command(int id) {
    switch (id) {
        case IDC_SCAN:
        case IDC_TEST:
        case IDC_REPORT:
        case IDC_GENERATE:
        case IDC_COM:
            // The sequences run from the message loop, not inside the button's mouse
            // handling (which holds the mouse until it returns): they pump messages
            // themselves while they run. A second click before it starts is the same one.
            if (!pending_) {
                pending_ = id;
                ::PostMessageW(hwnd_, kRunSequence, static_cast<WPARAM>(id), 0);
            }
            break;
        case IDC_HELP_BUTTON:
            ShowHelp();
            break;
        case IDCANCEL:  // Escape, or the close box through the dialog manager
            Close();
            break;
        default:  // Enter (IDOK) does nothing
            break;
    }
}

void MainWindow::RunSequence(int id) {
    switch (id) {
        case IDC_SCAN:
            tool_.OnScan();
            break;
        case IDC_TEST:
            tool_.OnTest();
            break;
        case IDC_REPORT:
            tool_.OnReport();
            break;
        case IDC_GENERATE:
            tool_.OnGenerate();
            break;
        case IDC_COM:
            tool_.OnCom();
            break;
        default:
            break;
    }
    pending_ = 0;
}

void MainWindow::Close() {
    // A running scan or test keeps its window.
    if (!tool_.CanClose()) return;
    if (modal_) {
        ::EndDialog(hwnd_, IDOK);
    } else {
        ::DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
}

HWND MainWindow::Owner() const {
    HWND active = ::GetActiveWindow();
    return active && ::IsWindowEnabled(active) ? active : hwnd_;
}

void MainWindow::DrawButton(const DRAWITEMSTRUCT& item) {
    std::size_t b = 0;
    while (b < kButtons.size() && kButtons[b].control != static_cast<int>(item.CtlID)) ++b;
    if (b == kButtons.size()) return;
    std::size_t state = 0;
    if (item.itemState & ODS_DISABLED) {
        state = kButtons[b].id == Button::Help ? 0 : 3;
    } else if (item.itemState & ODS_SELECTED) {
        state = 1;
    } else if (item.itemState & ODS_FOCUS) {
        state = 2;
    }
    HDC dc = item.hDC;
    const RECT r = item.rcItem;
    ::FillRect(dc, &r, ::GetSysColorBrush(COLOR_BTNFACE));
    HDC memory = ::CreateCompatibleDC(dc);
    HGDIOBJ picture = ::SelectObject(memory, bitmaps_[b][state]);
    ::TransparentBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memory, 0, 0,
                     kPicture, kPicture, kClear);
    ::SelectObject(memory, picture);
    ::DeleteDC(memory);
    // The caption on the band below the symbol, its mnemonic underlined.
    const std::wstring caption = WindowText(item.hwndItem);
    RECT band{r.left, r.bottom - 17, r.right, r.bottom - 3};
    if (state == 1) ::OffsetRect(&band, 1, 1);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(state == 3 ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    auto* dialogFont = reinterpret_cast<HFONT>(::SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    HGDIOBJ old = ::SelectObject(dc, dialogFont);
    // A caption wider than the picture ("GENERATE") takes a smaller size of the same font.
    RECT need = band;
    ::DrawTextW(dc, caption.c_str(), -1, &need, DT_CALCRECT | DT_SINGLELINE);
    const LONG room = band.right - band.left - 2;
    HFONT smaller = nullptr;
    LOGFONTW face{};
    if (need.right - need.left > room && ::GetObjectW(dialogFont, sizeof(face), &face)) {
        face.lfHeight = face.lfHeight * room / (need.right - need.left);
        smaller = ::CreateFontIndirectW(&face);
        if (smaller) ::SelectObject(dc, smaller);
    }
    ::DrawTextW(dc, caption.c_str(), -1, &band, DT_CENTER | DT_SINGLELINE | DT_VCENTER);
    ::SelectObject(dc, old);
    if (smaller) ::DeleteObject(smaller);
}

void MainWindow::ShowHelp() {
    wchar_t program[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::filesystem::path page =
        std::filesystem::path(std::wstring(program, n)).parent_path() / L"linkspy.html";
    std::wstring error;
    if (!std::filesystem::exists(page)) {
        error = L"The help page " + page.wstring() + L" is missing.";
    } else if (reinterpret_cast<INT_PTR>(::ShellExecuteW(hwnd_, L"open", page.c_str(), nullptr,
                                                         nullptr, SW_SHOWNORMAL)) <= 32) {
        error = L"No viewer could be started for the help page " + page.wstring() + L".";
    }
    if (!error.empty()) {
        ::MessageBoxW(Owner(), error.c_str(), L"ZAN LINKSPY HELP-ERROR", MB_OK | MB_ICONWARNING);
    }
}

void MainWindow::ShowAbout() {
    if (!tool_.busy()) {
        RunAboutDialog(hwnd_);
        return;
    }
    // A scan or test runs below this call and goes on only when it returns: the box opens
    // beside the running work instead of holding it until OK.
    OpenAboutDialog(hwnd_);
}

// ---- FrontEnd -------------------------------------------------------------------------

void MainWindow::ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
    ::MessageBoxW(Owner(), FromAnsi(text).c_str(), FromAnsi(caption).c_str(),
                  MB_OK | (icon == MessageIcon::Warning ? MB_ICONWARNING : MB_ICONINFORMATION));
}

bool MainWindow::AskYesNo(std::string_view text, std::string_view caption) {
    return ::MessageBoxW(Owner(), FromAnsi(text).c_str(), FromAnsi(caption).c_str(),
                         MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool MainWindow::RunCyclesDialog(CCyclesDlg& dialog) {
    return win32::RunCyclesDialog(Owner(), dialog);
}

bool MainWindow::RunSaveProtocolDialog(CSaveProtocolDlg& dialog) {
    return win32::RunSaveProtocolDialog(Owner(), dialog);
}

bool MainWindow::RunGenerateIniDialog(CGenerateIniDlg& dialog) {
    return win32::RunGenerateIniDialog(Owner(), dialog);
}

bool MainWindow::RunPortDialog(CSelectComPortDlg& dialog) {
    return win32::RunPortDialog(Owner(), dialog, *this);
}

std::unique_ptr<ProgressView> MainWindow::CreateProgressView(ProgressWindow& window) {
    return CreateWin32ProgressView(window, hwnd_);
}

void MainWindow::MemberListReset() {
    ::SendDlgItemMessageW(hwnd_, IDC_MEMBER_LIST, LB_RESETCONTENT, 0, 0);
}

void MainWindow::MemberLineAdded(int index) {
    const std::wstring line = FromAnsi(tool_.memberList()[static_cast<std::size_t>(index)]);
    ::SendDlgItemMessageW(hwnd_, IDC_MEMBER_LIST, LB_INSERTSTRING, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(line.c_str()));
}

void MainWindow::MemberLineReplaced(int index) {
    const std::wstring line = FromAnsi(tool_.memberList()[static_cast<std::size_t>(index)]);
    ::SendDlgItemMessageW(hwnd_, IDC_MEMBER_LIST, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
    ::SendDlgItemMessageW(hwnd_, IDC_MEMBER_LIST, LB_INSERTSTRING, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(line.c_str()));
}

void MainWindow::ButtonsChanged() {
    if (!hwnd_) return;
    for (const auto& face : kButtons) {
        ::EnableWindow(::GetDlgItem(hwnd_, face.control), tool_.enabled(face.id));
    }
}

void MainWindow::StatusChanged() {
    if (!hwnd_) return;
    SetItemText(hwnd_, IDC_PORT_LABEL, FromSystem(tool_.portName()));
    SetItemText(hwnd_, IDC_CYCLE_FIELD, FromAnsi(tool_.cycleField()));
    SetItemText(hwnd_, IDC_ELAPSED, FromAnsi(tool_.elapsedField()));
}

}  // namespace kvx::scantool::win32
