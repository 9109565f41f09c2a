// linkspy: the service tool of the KVX field bus in a Windows window. Works in the current
// directory (or the one given with -C): the .cfg files, LINKSPY.INI and the protocol files
// are found and written there. --port NAME takes a port for this run (not stored).

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <exception>
#include <filesystem>
#include <string>

#include "main_window.h"
#include "text.h"

using namespace kvx::scantool;

namespace {

int Refuse(const std::wstring& text) {
    ::MessageBoxW(nullptr, text.c_str(), L"linkspy", MB_OK | MB_ICONSTOP);
    return 2;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof(controls),
                                  ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::wstring port;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"-C" && i + 1 < argc) {
            if (!::SetCurrentDirectoryW(argv[++i])) {
                return Refuse(L"Cannot change to the folder " + std::wstring(argv[i]) + L".");
            }
        } else if (arg == L"--port" && i + 1 < argc) {
            port = argv[++i];
        } else {
            return Refuse(L"Unknown argument " + arg +
                          L".\nUsage: linkspy [-C FOLDER] [--port NAME]");
        }
    }

    ToolEnvironment environment;
    // Boxes without a caption of their own show the program's file name without extension.
    environment.title = std::filesystem::path(argv[0]).stem().string();
    ::LocalFree(argv);
    try {
        win32::MainWindow window(environment);
        window.Start();
        if (!port.empty() && !window.tool().OverridePort(win32::ToSystem(port))) return 2;
        window.RunModal();
        return 0;
    } catch (const std::exception& e) {
        // A button picture that cannot be loaded ends the program before its window shows.
        return Refuse(win32::FromAnsi(e.what()));
    }
}
