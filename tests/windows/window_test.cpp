// The Windows window of linkspy over the simulated bus on Wine's COM5, on a virtual X
// display: start, scan with its progress window, Cancel, test, protocol and fenlodrv.ini
// through their dialogs, and the port selection. The dialogs and boxes are answered from a
// timer, as a user would, by their captions and control ids.
// Usage: win_window_test SAMPLES_DIR [SCREENSHOT_DIR] (gtest options first).

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "main_window.h"
#include "resource.h"
#include "text.h"

namespace fs = std::filesystem;
using namespace kvx::scantool;
using kvx::scantool::win32::MainWindow;
using kvx::scantool::win32::WindowText;

namespace {

fs::path g_samples;
fs::path g_shots;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- answering windows as they appear -------------------------------------------------

// An action on the window with the caption, once it is shown. A watching action returns
// false until it is done and is called again at the next look; it must never wait itself,
// for the sequence that pumps the messages is below it on the stack.
struct Step {
    std::wstring caption;
    std::function<bool(HWND)> action;
};
std::deque<Step> g_steps;

struct Look {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK LookAt(HWND w, LPARAM l) {
    auto* look = reinterpret_cast<Look*>(l);
    if (::IsWindowVisible(w) && ::IsWindowEnabled(w) && WindowText(w) == *look->caption) {
        look->found = w;
        return FALSE;
    }
    return TRUE;
}

// The shown, enabled (so: not below a modal one) window of this thread with the caption.
HWND FindShown(const std::wstring& caption) {
    Look look{&caption, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), LookAt, reinterpret_cast<LPARAM>(&look));
    return look.found;
}

// Wine's serial ports on a pseudo-terminal refuse the line settings at times (tcsetattr
// fails with EINVAL there); the tool then says so in a box of this caption for each
// transaction, as it must, and goes on. Such boxes are answered whenever they come.
const std::wstring kLineSettingsRefused = L"ZAN KVX-OPC-Server COM-ERROR";
int g_refusals = 0;

// Every 10 ms, also inside the modal loops of dialogs and boxes and the progress pumps.
void CALLBACK Answer(HWND, UINT, UINT_PTR, DWORD) {
    if (HWND box = FindShown(kLineSettingsRefused)) {
        ++g_refusals;
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
    }
    if (g_steps.empty()) return;
    // Actions may open boxes of their own (Test in the port dialog): the looks inside them
    // answer those.
    if (HWND w = FindShown(g_steps.front().caption)) {
        Step step = std::move(g_steps.front());
        g_steps.pop_front();
        const bool done = step.action(w);
        if (!done) g_steps.push_front(std::move(step));
    }
}

void Watch(std::wstring caption, std::function<bool(HWND)> action) {
    g_steps.push_back({std::move(caption), std::move(action)});
}

void When(std::wstring caption, std::function<void(HWND)> action) {
    Watch(std::move(caption), [action = std::move(action)](HWND w) {
        action(w);
        return true;
    });
}

// A message box as it was shown.
struct BoxSeen {
    std::wstring caption;
    std::wstring text;
    bool shown = false;
};

// The box's text: its longest static text (the icon has none).
std::wstring BoxText(HWND box) {
    std::wstring text;
    for (HWND c = ::GetWindow(box, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[16];
        ::GetClassNameW(c, cls, 16);
        if (std::wstring(cls) == L"Static" && WindowText(c).size() > text.size()) text = WindowText(c);
    }
    return text;
}

void AnswerBox(const std::wstring& caption, BoxSeen& seen, int answer = IDOK) {
    When(caption, [&seen, caption, answer](HWND box) {
        seen = {caption, BoxText(box), true};
        ::PostMessageW(box, WM_COMMAND, answer, 0);
    });
}

void Press(HWND dialog, int id) {
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

void SetText(HWND dialog, int id, const std::wstring& text) {
    ::SetDlgItemTextW(dialog, id, text.c_str());  // a one-line edit notifies EN_CHANGE
}

// Keys typed into a control (a multi-line edit does not notify a set text).
void Type(HWND dialog, int id, const std::wstring& text) {
    for (wchar_t c : text) ::SendDlgItemMessageW(dialog, id, WM_CHAR, c, 0);
}

void Choose(HWND dialog, int combo, int index) {
    ::SendDlgItemMessageW(dialog, combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(combo, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, combo)));
}

// Pumps until `done` or the time-out (generous: the machine may be loaded).
bool PumpUntil(const std::function<bool()>& done, DWORD ms = 120000) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!done()) {
        if (::GetTickCount64() > end) return false;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// ---- screenshots ----------------------------------------------------------------------

// The screen (Wine's virtual desktop) as a 24-bit BMP, for docs/screenshots/windows.
void Shot(const char* name) {
    if (g_shots.empty()) return;
    PumpUntil([] { return false; }, 300);  // everything painted
    const int w = ::GetSystemMetrics(SM_CXSCREEN);
    const int h = ::GetSystemMetrics(SM_CYSCREEN);
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
    ::SelectObject(memory, old);
    BITMAPINFOHEADER info{sizeof(info), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const DWORD row = ((static_cast<DWORD>(w) * 3 + 3) / 4) * 4;
    std::string pixels(row * static_cast<DWORD>(h), '\0');
    ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(h), pixels.data(),
                reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(info)};
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::ofstream out(g_shots / (std::string(name) + ".bmp"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info), sizeof(info));
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

// ---- the window over the bus ----------------------------------------------------------

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("linkspy-window-" + std::to_string(::GetCurrentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "windows");
        for (const char* name : {"tc200.cfg", "dio16.cfg", "fd7.cfg"}) {
            fs::copy_file(g_samples / "devices" / name, dir_ / name);
        }
        std::ofstream(dir_ / "LINKSPY.INI", std::ios::binary)
            << "[RS232]\r\nCOM=COM5\r\n[Timeout]\r\nTime=60\r\n";
        g_steps.clear();
        timer_ = ::SetTimer(nullptr, 0, 10, Answer);
    }

    void TearDown() override {
        ::KillTimer(nullptr, timer_);
        EXPECT_TRUE(g_steps.empty()) << "a window never appeared: " << win32::ToSystem(g_steps.front().caption);
        window_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ToolEnvironment Environment() const {
        ToolEnvironment env;
        env.title = "linkspy";
        env.currentDirectory = dir_;
        env.pathVariable = std::string();
        env.windowsDirectory = dir_ / "windows";
        env.portCandidates = [] { return std::vector<std::string>{"COM9", "COM5"}; };
        return env;
    }

    MainWindow& Window() {
        if (!window_) {
            window_ = std::make_unique<MainWindow>(Environment());
            window_->Start();
            window_->Open();
        }
        return *window_;
    }

    HWND Item(int id) { return ::GetDlgItem(Window().hwnd(), id); }
    std::wstring Text(int id) { return WindowText(Item(id)); }

    // The buttons that are enabled, as "SCAN TEST ...".
    std::string Enabled() {
        static const std::pair<int, const char*> names[] = {
            {IDC_SCAN, "SCAN"}, {IDC_TEST, "TEST"}, {IDC_REPORT, "REPORT"},
            {IDC_GENERATE, "GENERATE"}, {IDC_COM, "COM"}, {IDC_HELP_BUTTON, "HELP"}};
        std::string on;
        for (const auto& [id, name] : names) {
            if (::IsWindowEnabled(Item(id))) on += (on.empty() ? "" : " ") + std::string(name);
        }
        return on;
    }

    std::vector<std::wstring> Lines() {
        std::vector<std::wstring> lines;
        const auto n = ::SendMessageW(Item(IDC_MEMBER_LIST), LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < n; ++i) {
            std::wstring line(
                static_cast<std::size_t>(
                    ::SendMessageW(Item(IDC_MEMBER_LIST), LB_GETTEXTLEN, static_cast<WPARAM>(i), 0)),
                L'\0');
            ::SendMessageW(Item(IDC_MEMBER_LIST), LB_GETTEXT, static_cast<WPARAM>(i),
                           reinterpret_cast<LPARAM>(line.data()));
            lines.push_back(line);
        }
        return lines;
    }

    // Clicks a picture button and lets the sequence behind it run to its end.
    void Click(int id) {
        ASSERT_TRUE(::IsWindowEnabled(Item(id)));
        ::SendMessageW(Item(id), BM_CLICK, 0, 0);
        ASSERT_TRUE(PumpUntil([this] { return !Window().sequencePending(); }));
    }

    static std::wstring ScanLine(int a) {
        wchar_t adr[16];
        swprintf(adr, 16, L"Adr. %02d:\t", a);
        switch (a) {
            case 3:
                return adr + std::wstring(L"TC-200\ttc200.cfg");
            case 7:
                return adr + std::wstring(L"DIO-16\tdio16.cfg");
            case 12:
                return adr + std::wstring(L"FD-7\tfd7.cfg");
            default:
                return adr + std::wstring(L"-----\t-----");
        }
    }

    fs::path dir_;
    UINT_PTR timer_ = 0;
    std::unique_ptr<MainWindow> window_;
};

TEST_F(WindowTest, StartThenScanWithItsProgressWindow) {
    MainWindow& w = Window();
    EXPECT_EQ(WindowText(w.hwnd()), L"KVX-RS485-LINK-SPY ");
    EXPECT_EQ(Enabled(), "SCAN COM HELP");
    EXPECT_EQ(Text(IDC_PORT_LABEL), L"COM5");
    // The About command in the system menu.
    wchar_t about[64] = {};
    ::GetMenuStringW(::GetSystemMenu(w.hwnd(), FALSE), IDM_ABOUTBOX, about, 64, MF_BYCOMMAND);
    EXPECT_EQ(std::wstring(about), L"Inf&o \u00fcber LINKSPY...");

    std::string during;
    bool closeRefused = false;
    std::wstring firstPercent;
    When(L"KVX - Link-Spy Progress -", [&](HWND progress) {
        firstPercent = WindowText(::GetDlgItem(progress, IDC_PERCENT));
        during = Enabled();
        ::SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
        closeRefused = ::IsWindow(w.hwnd()) && ::IsWindowVisible(w.hwnd());
    });
    // Halfway through, the picture of the progress window.
    Watch(L"KVX - Link-Spy Progress -", [&](HWND) {
        if (Lines().size() < 16) return false;
        Shot("progress-scan");
        return true;
    });
    Click(IDC_SCAN);
    EXPECT_EQ(during, "HELP");
    EXPECT_TRUE(closeRefused);
    EXPECT_EQ(firstPercent, L" 0 %");
    EXPECT_FALSE(FindShown(L"KVX - Link-Spy Progress -"));  // closed with the scan
    EXPECT_EQ(Enabled(), "SCAN TEST GENERATE COM HELP");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 32u);
    for (int a = 0; a < 32; ++a) EXPECT_EQ(lines[static_cast<std::size_t>(a)], ScanLine(a)) << a;
    Shot("main-after-scan");
}

TEST_F(WindowTest, CancelAskedAndYesStopsTheScan) {
    MainWindow& w = Window();
    BoxSeen question;
    Watch(L"KVX - Link-Spy Progress -", [&](HWND progress) {
        if (Lines().size() < 5) return false;
        AnswerBox(L"linkspy", question, IDYES);
        Press(progress, IDCANCEL);
        return true;
    });
    Click(IDC_SCAN);
    ASSERT_TRUE(question.shown);
    EXPECT_EQ(question.text, L"Do you really want to break?");
    EXPECT_LT(Lines().size(), 32u);
    EXPECT_GE(Lines().size(), 5u);
    EXPECT_EQ(Enabled(), "SCAN COM HELP");
    EXPECT_FALSE(w.tool().lastScanCompleted());
}

TEST_F(WindowTest, TestThenProtocolAndDriverIniThroughTheirDialogs) {
    Click(IDC_SCAN);
    std::wstring testCaption;
    When(L"KVX  -Bus-Test Cycles -", [&](HWND cycles) {
        ::SendDlgItemMessageW(cycles, IDC_TRACKBAR, TBM_SETPOS, TRUE, 10);
        ::SendMessageW(cycles, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                       reinterpret_cast<LPARAM>(::GetDlgItem(cycles, IDC_TRACKBAR)));
        EXPECT_EQ(WindowText(::GetDlgItem(cycles, IDC_CYCLES)), L"10");
        EXPECT_EQ(WindowText(::GetDlgItem(cycles, IDC_MAX_LABEL)), L"10000");
        Press(cycles, IDOK);
    });
    std::string during;
    When(L"KVX - Bus-Test Progress -", [&](HWND) { during = Enabled(); });
    Click(IDC_TEST);
    EXPECT_EQ(during, "HELP");
    EXPECT_EQ(Text(IDC_CYCLE_FIELD), L"10 / 10 ");
    EXPECT_EQ(Lines()[3], L"Adr. 03:\tTC-200\ttc200.cfg\t10 / 10\t100,00%");
    EXPECT_EQ(Lines()[0], ScanLine(0));
    EXPECT_EQ(Enabled(), "SCAN TEST REPORT GENERATE COM HELP");
    Shot("main-after-test");

    // The file name follows the comment; the text type gives ".txt".
    When(L"KVX - Save Protokoll - ", [](HWND save) {
        Type(save, IDC_COMMENT, L"Site 3");
        EXPECT_EQ(WindowText(::GetDlgItem(save, IDC_FILE_NAME)), L"Site 3.xls");
        Choose(save, IDC_FILE_TYPE, 0);
        EXPECT_EQ(WindowText(::GetDlgItem(save, IDC_FILE_NAME)), L"Site 3.txt");
        Press(save, IDOK);
    });
    Click(IDC_REPORT);
    const std::string txt = ReadFile(dir_ / "Site 3.txt");
    EXPECT_TRUE(txt.starts_with("Site 3\r\n\r\n")) << txt;
    EXPECT_NE(txt.find("Adr.03:\tTC-200\t\ttc200.cfg\t10 / 10\t\t100,00%\r\n"), std::string::npos);

    // A typed name with a second dot is refused, and nothing is written.
    BoxSeen refused;
    When(L"KVX - Save Protokoll - ", [&](HWND save) {
        Press(save, IDC_CHANGE);
        SetText(save, IDC_FILE_NAME, L"report.old.txt");
        AnswerBox(L"ZAN LINKSPY FILE-ERROR", refused);
        Press(save, IDOK);
    });
    Click(IDC_REPORT);
    EXPECT_EQ(refused.text, L"Extension Error");
    EXPECT_FALSE(fs::exists(dir_ / "report.old.txt"));

    // fenlodrv.ini with another port, in the current directory.
    When(L"KVX - Generate Initfile -", [](HWND generate) {
        EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(generate, IDC_PORTS)));
        EXPECT_EQ(::IsDlgButtonChecked(generate, IDC_CURRENT_DIR), BST_CHECKED);
        ::SendDlgItemMessageW(generate, IDC_CHANGE_PORT, BM_CLICK, 0, 0);
        EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(generate, IDC_PORTS)));
        Choose(generate, IDC_PORTS, 2);
        Press(generate, IDOK);
    });
    Click(IDC_GENERATE);
    const std::string ini = ReadFile(dir_ / "fenlodrv.ini");
    EXPECT_NE(ini.find("[RS232]\r\nCOM=COM3\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[SLAVE03]\r\nCFG=tc200.cfg\r\nNAME=TC-200\r\n"), std::string::npos);
    EXPECT_NE(ini.find("[SLAVE12]\r\nCFG=fd7.cfg\r\nNAME=FD-7\r\n"), std::string::npos);
    EXPECT_EQ(Enabled(), "SCAN TEST REPORT GENERATE COM HELP");
}

TEST_F(WindowTest, PortDialogTestsAndStoresThePort) {
    Click(IDC_SCAN);
    BoxSeen good;
    BoxSeen bad;
    std::vector<std::wstring> offered;
    When(L"KVX - Select Com-Port -", [&](HWND port) {
        HWND list = ::GetDlgItem(port, IDC_PORT_LIST);
        for (LRESULT i = 0; i < ::SendMessageW(list, CB_GETCOUNT, 0, 0); ++i) {
            wchar_t name[64] = {};
            ::SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name));
            offered.emplace_back(name);
        }
        Shot("port-dialog");
        AnswerBox(L"ZAN LINKSPY COM-TEST", good);
        Press(port, IDC_PORT_TEST);
        SetText(port, IDC_PORT_LIST, L"COM9");
        AnswerBox(L"ZAN LINKSPY COM-TEST-ERROR", bad);
        Press(port, IDC_PORT_TEST);
        SetText(port, IDC_PORT_LIST, L"COM7");
        Press(port, IDOK);
    });
    Click(IDC_COM);
    EXPECT_EQ(offered, std::vector<std::wstring>{L"COM5"});
    EXPECT_EQ(good.text, L"Test OK!");
    EXPECT_EQ(bad.text, L"No access to the COM-Port!\nChange Com-Port");
    // Another port: the results of the old one go.
    EXPECT_EQ(Text(IDC_PORT_LABEL), L"COM7");
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Enabled(), "SCAN COM HELP");
    EXPECT_NE(ReadFile(dir_ / "LINKSPY.INI").find("COM=COM7"), std::string::npos);
}

TEST_F(WindowTest, AboutFromTheSystemMenuAndF1Help) {
    MainWindow& w = Window();
    std::wstring version;
    When(L"About KVX-RS485-LINK-SPY", [&](HWND about) {
        version = WindowText(::GetDlgItem(about, IDC_VERSION));
        Press(about, IDOK);
    });
    ::SendMessageW(w.hwnd(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    EXPECT_EQ(version, L"Version 1.00.9");

    // F1 as a key: the help page is looked for beside the program, and this one has none.
    BoxSeen help;
    AnswerBox(L"ZAN LINKSPY HELP-ERROR", help);
    ::SetForegroundWindow(w.hwnd());
    ::SetFocus(Item(IDC_MEMBER_LIST));
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_F1;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, keys, sizeof(INPUT));
    ASSERT_TRUE(PumpUntil([&] { return help.shown; }, 30000));
    EXPECT_NE(help.text.find(L"linkspy.html"), std::wstring::npos) << win32::ToSystem(help.text);
}

TEST_F(WindowTest, MissingIniIsReportedAndThePortStaysCom1) {
    fs::remove(dir_ / "LINKSPY.INI");
    BoxSeen seen;
    AnswerBox(L"ZAN LINKSPY INI-ERROR", seen);
    Window();
    EXPECT_EQ(seen.text, L"Can\u00b4t found the LINKSPY.INI file!");
    EXPECT_EQ(Text(IDC_PORT_LABEL), L"COM1");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: win_window_test SAMPLES_DIR [SCREENSHOT_DIR]\n");
        return 2;
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    g_samples = argv[1];
    if (argc > 2) g_shots = argv[2];
    const int result = RUN_ALL_TESTS();
    std::printf("line settings refused by Wine's serial port: %d times\n", g_refusals);
    return result;
}
