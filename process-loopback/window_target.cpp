#include "window_target.h"

#include <cstddef>
#include <cwchar>
#include <cwctype>

namespace {

constexpr wchar_t kFrameHost[] = L"ApplicationFrameHost.exe";
constexpr wchar_t kCoreWindowClass[] = L"Windows.UI.Core.CoreWindow";

bool IsFrameHost(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return false;
    wchar_t path[1024];
    DWORD length = sizeof path / sizeof path[0];
    const bool named = QueryFullProcessImageNameW(process, 0, path, &length) != FALSE;
    CloseHandle(process);
    if (!named) return false;
    const wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
    const std::size_t size = sizeof kFrameHost / sizeof kFrameHost[0] - 1;
    if (static_cast<std::size_t>(path + length - name) != size) return false;
    for (std::size_t i = 0; i < size; ++i)
        if (std::towlower(static_cast<wint_t>(name[i])) !=
            std::towlower(static_cast<wint_t>(kFrameHost[i])))
            return false;
    return true;
}

struct CoreWindowSearch {
    DWORD frameHost;
    DWORD app;
};

BOOL CALLBACK FindCoreWindow(HWND child, LPARAM context) {
    auto& search = *reinterpret_cast<CoreWindowSearch*>(context);
    wchar_t name[64];
    const int length = GetClassNameW(child, name, sizeof name / sizeof name[0]);
    if (length <= 0 || std::wcscmp(name, kCoreWindowClass) != 0) return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(child, &owner);
    if (owner == 0 || owner == search.frameHost) return TRUE;
    search.app = owner;
    return FALSE;
}

}  // namespace

// A Store (UWP) app's top-level window belongs to the frame host; the app's
// own process owns the CoreWindow inside it. A suspended app has none, and
// the frame host stays the target.
DWORD WindowProcess(HWND window) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == 0 || !IsFrameHost(owner)) return owner;
    CoreWindowSearch search{owner, 0};
    EnumChildWindows(window, FindCoreWindow, reinterpret_cast<LPARAM>(&search));
    return search.app != 0 ? search.app : owner;
}
