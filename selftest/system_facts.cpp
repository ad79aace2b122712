// Everything here runs on the main thread, but Spin on the busy threads.
#include "system_facts.h"

#include <endpointvolume.h>

#include <initguid.h>  // after the headers: defines only the ids below

DEFINE_GUID(kClsidDeviceEnumerator, 0xbcde0395, 0xe52f, 0x467c, 0x8e, 0x3d, 0xc4, 0x57, 0x92,
            0x91, 0x69, 0x2e);
DEFINE_GUID(kIidDeviceEnumerator, 0xa95664d2, 0x9614, 0x4f35, 0xa7, 0x46, 0xde, 0x8d, 0xb6,
            0x36, 0x17, 0xe6);
DEFINE_GUID(kIidEndpointVolume, 0x5cdf2c82, 0x841e, 0x4546, 0x97, 0x22, 0x0c, 0xf7, 0x40, 0x78,
            0x22, 0x9a);

namespace selftest {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

void Print(const std::string& utf8) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                             nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                            size);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

// RtlGetVersion is not subject to the manifest's compatibility shims that
// GetVersionEx is.
std::string WindowsVersion() {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto rtlGetVersion = ntdll == nullptr
        ? nullptr
        : reinterpret_cast<RtlGetVersionFunction>(
              reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return "Windows, version unknown";
    std::string text = Format("Windows %lu.%lu, build %lu", version.dwMajorVersion,
                              version.dwMinorVersion, version.dwBuildNumber);
    constexpr wchar_t kKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    DWORD revision = 0, size = sizeof revision;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"UBR", RRF_RT_REG_DWORD, nullptr, &revision,
                     &size) == ERROR_SUCCESS)
        text += Format(".%lu", revision);
    wchar_t display[64];
    size = sizeof display;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, display,
                     &size) == ERROR_SUCCESS)
        text += " (" + Utf8(display) + ")";
    return text;
}

std::optional<double> DeviceVolumeDb() {
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioEndpointVolume> volume;
    float db = 0;
    HRESULT hr = CoCreateInstance(kClsidDeviceEnumerator, nullptr, CLSCTX_ALL,
                                  kIidDeviceEnumerator, enumerator.PutVoid());
    if (SUCCEEDED(hr)) hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.Put());
    if (SUCCEEDED(hr)) hr = device->Activate(kIidEndpointVolume, CLSCTX_ALL, nullptr, volume.PutVoid());
    if (SUCCEEDED(hr)) hr = volume->GetMasterVolumeLevel(&db);
    if (FAILED(hr)) return std::nullopt;
    return db;
}

OwnedHandle MakeJob() {
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        job.Reset();
    return job;
}

// Ids are multiples of 4 and never come near the top of the range.
std::optional<DWORD> MissingProcessId() {
    for (DWORD id = 0xFFFFFFFC; id > 0xFFFFFF00; id -= 4) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process != nullptr) CloseHandle(process);
        else if (GetLastError() == ERROR_INVALID_PARAMETER) return id;
    }
    return std::nullopt;
}

namespace {

DWORD WINAPI Spin(void* context) {
    auto* stop = static_cast<volatile LONG*>(context);
    while (InterlockedCompareExchange(stop, 0, 0) == 0) {
    }
    return 0;
}

}  // namespace

BusyProcessors::BusyProcessors() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    for (DWORD i = 0; i < count; ++i) {
        const HANDLE thread = CreateThread(nullptr, 0, Spin, const_cast<LONG*>(&stop_), 0, nullptr);
        if (thread != nullptr) threads_.push_back(thread);
    }
}

BusyProcessors::~BusyProcessors() {
    InterlockedExchange(&stop_, 1);
    for (HANDLE thread : threads_) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

std::wstring NodeClientCommand(const std::wstring& package, const std::wstring& helper, DWORD pid,
                               std::string& why) {
    wchar_t node[MAX_PATH];
    if (SearchPathW(nullptr, L"node.exe", nullptr, MAX_PATH, node, nullptr) == 0) {
        why = "node is not on the PATH";
        return {};
    }
    if (GetFileAttributesW((package + L"\\package.json").c_str()) == INVALID_FILE_ATTRIBUTES) {
        why = "no client package at " + Utf8(package) + " (give it with --client PATH)";
        return {};
    }
    // No double quote inside: the whole script is one quoted argument.
    constexpr wchar_t kScript[] =
        L"import {pathToFileURL} from 'node:url'; import {join} from 'node:path';"
        L"const [pkg, helper, pid] = process.argv.slice(1);"
        L"const {captureProcessAudio} = await import(pathToFileURL(join(pkg, 'index.js')).href);"
        L"const c = captureProcessAudio({pid: Number(pid)}, {executable: helper});"
        L"const stop = () => c.stop().catch(() => {});"
        L"process.stdin.on('data', stop).on('end', stop);"
        L"await c.ready;"
        L"process.stdout.write(Buffer.from([83,68,82,65,1,0,0,0,128,187,0,0,2,0,32,0]));"
        L"for await (const f of c) process.stdout.write(Buffer.from(f.buffer, f.byteOffset, f.byteLength));"
        L"process.stdin.destroy();";
    return L"\"" + std::wstring(node) + L"\" --input-type=module -e \"" + kScript + L"\" \"" +
           package + L"\" \"" + helper + L"\" " + std::to_wstring(pid);
}

}  // namespace selftest
