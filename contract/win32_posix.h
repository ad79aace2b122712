// The Win32, COM and Core Audio declarations the program uses, for Linux,
// where platform/posix defines them. Only what the program (and its test
// double and audio backends) call is here; names, values and method orders
// are the platform's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

// ---- basic types -----------------------------------------------------------
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using HRESULT = std::int32_t;
using BOOL = int;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using HANDLE = void*;
using HWND = void*;
using HLOCAL = void*;
using REFERENCE_TIME = std::int64_t;
using VARTYPE = std::uint16_t;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

#define WINAPI
#define STDMETHODCALLTYPE
#define TRUE 1
#define FALSE 0

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)

// ---- result codes ----------------------------------------------------------
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_PENDING ((HRESULT)0x8000000AL)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define ERROR_SUCCESS 0L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_LENGTH 24L
#define ERROR_GEN_FAILURE 31L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_NO_DATA 232L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_TIMEOUT 1460L

inline HRESULT HRESULT_FROM_WIN32(long x) {
    return x <= 0 ? (HRESULT)x : (HRESULT)(((DWORD)x & 0x0000FFFFu) | 0x80070000u);
}

#define AUDCLNT_E_NOT_INITIALIZED ((HRESULT)0x88890001L)
#define AUDCLNT_E_DEVICE_INVALIDATED ((HRESULT)0x88890004L)
#define AUDCLNT_E_SERVICE_NOT_RUNNING ((HRESULT)0x88890010L)
#define AUDCLNT_E_UNSUPPORTED_FORMAT ((HRESULT)0x88890008L)
#define AUDCLNT_E_OUT_OF_ORDER ((HRESULT)0x88890007L)
#define AUDCLNT_E_ALREADY_INITIALIZED ((HRESULT)0x88890002L)

// ---- kernel objects --------------------------------------------------------
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define EVENT_MODIFY_STATE 0x0002u
#define SYNCHRONIZE 0x00100000u
#define EVENT_ALL_ACCESS 0x001F0003u
#define DUPLICATE_SAME_ACCESS 0x00000002u
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

DWORD GetLastError();
void SetLastError(DWORD error);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options);
BOOL CloseHandle(HANDLE handle);
BOOL GetHandleInformation(HANDLE handle, DWORD* flags);
HANDLE GetStdHandle(DWORD which);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               LPOVERLAPPED overlapped);
// The handle is signalled when the thread's function has returned.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, DWORD* threadId);
// A process (thread-group leader) by its pid; a thread id, or a pid that
// names nothing, fails with ERROR_INVALID_PARAMETER as on Windows. The handle
// is signalled once the process has ended (a zombie has).
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL GetConsoleMode(HANDLE console, DWORD* mode);
BOOL WriteConsoleW(HANDLE console, const wchar_t* text, DWORD length, DWORD* written,
                   void* reserved);

// ---- windows ---------------------------------------------------------------
BOOL IsWindow(HWND window);
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);

// A Store app's frame: the windows inside one, by class. X11 windows are
// no such frames: no child is enumerated and no class is named.
using LPARAM = std::intptr_t;
#define CALLBACK
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);
BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM context);
int GetClassNameW(HWND window, LPWSTR name, int size);
// The process's executable (/proc/PID/exe).
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, DWORD* size);

// ---- console control and libraries ----------------------------------------
// SIGINT arrives as CTRL_C_EVENT, SIGTERM as CTRL_BREAK_EVENT, on a thread of
// the stand-in's, handlers newest first; when none returns TRUE the signal
// takes its default action. Register from the main thread before any other
// thread starts, so that every thread leaves the signals to that one.
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
using PHANDLER_ROUTINE = BOOL (*)(DWORD controlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
// No Windows libraries here: LoadLibraryW fails with ERROR_MOD_NOT_FOUND.
using HMODULE = void*;
using FARPROC = std::intptr_t (*)();
#define ERROR_MOD_NOT_FOUND 126L
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// ---- runtime ---------------------------------------------------------------
#define _O_BINARY 0x8000
#define _fileno fileno
int _setmode(int fd, int mode);
// One command-line argument as wmain gets it: its UTF-8 bytes decoded, each
// byte of an invalid sequence becoming U+FFFD.
std::wstring PosixArgumentToWide(const char* bytes);

// ---- messages --------------------------------------------------------------
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, void* arguments);
HLOCAL LocalFree(HLOCAL memory);

// ---- COM -------------------------------------------------------------------
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();

extern const IID IID_IUnknown;
extern const IID IID_IMarshal;
extern const IID IID_IAgileObject;
extern const IID IID_IAudioClient;
extern const IID IID_IAudioCaptureClient;
extern const IID IID_IActivateAudioInterfaceCompletionHandler;
extern const IID IID_IActivateAudioInterfaceAsyncOperation;

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IStream;
struct IMarshal : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* pv, DWORD destContext,
                                                        void* pvDestContext, DWORD flags,
                                                        CLSID* cid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* pv, DWORD destContext,
                                                        void* pvDestContext, DWORD flags,
                                                        DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* pv,
                                                       DWORD destContext, void* pvDestContext,
                                                       DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                         void** ppv) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) = 0;
    virtual HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) = 0;

protected:
    ~IMarshal() = default;
};

HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* marshal);

// ---- property variant ------------------------------------------------------
#define VT_BLOB 65
struct BLOB {
    ULONG cbSize;
    BYTE* pBlobData;
};
struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        BLOB blob;
        void* padding[2];
    };
};

// ---- audio -----------------------------------------------------------------
#define WAVE_FORMAT_IEEE_FLOAT 3
#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)

enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0 };

#define AUDCLNT_STREAMFLAGS_LOOPBACK 0x00020000u
#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000u
#define AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY 0x08000000u
#define AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM 0x80000000u
#define AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY 0x1u
#define AUDCLNT_BUFFERFLAGS_SILENT 0x2u
#define AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR 0x4u

struct IAudioClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                                 REFERENCE_TIME bufferDuration,
                                                 REFERENCE_TIME periodicity,
                                                 const WAVEFORMATEX* format,
                                                 LPCGUID sessionGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                                        const WAVEFORMATEX* format,
                                                        WAVEFORMATEX** closest) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                      REFERENCE_TIME* minimumPeriod) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) = 0;

protected:
    ~IAudioClient() = default;
};

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                                UINT64* devicePosition,
                                                UINT64* counterPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) = 0;

protected:
    ~IAudioCaptureClient() = default;
};

struct IActivateAudioInterfaceAsyncOperation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                                        IUnknown** activatedInterface) = 0;

protected:
    ~IActivateAudioInterfaceAsyncOperation() = default;
};

struct IActivateAudioInterfaceCompletionHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ActivateCompleted(
        IActivateAudioInterfaceAsyncOperation* activateOperation) = 0;

protected:
    ~IActivateAudioInterfaceCompletionHandler() = default;
};

// Implemented by whichever audio platform is linked in.
HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid,
                                           PROPVARIANT* activationParams,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation);
