#include "audio_thread.h"

namespace {

using SetCharacteristics = HANDLE(WINAPI*)(LPCWSTR task, DWORD* taskIndex);
using RevertCharacteristics = BOOL(WINAPI*)(HANDLE task);

// GetProcAddress's type is a function of no arguments; the cast through a
// plain function pointer type keeps the conversion explicit on every compiler.
template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

AudioThreadPriority::AudioThreadPriority() {
    avrt_ = LoadLibraryW(L"avrt.dll");
    if (avrt_ == nullptr) return;
    const auto set = Lookup<SetCharacteristics>(avrt_, "AvSetMmThreadCharacteristicsW");
    DWORD taskIndex = 0;
    if (set != nullptr) task_ = set(L"Audio", &taskIndex);
}

AudioThreadPriority::~AudioThreadPriority() {
    if (task_ != nullptr) {
        const auto revert = Lookup<RevertCharacteristics>(avrt_, "AvRevertMmThreadCharacteristics");
        if (revert != nullptr) revert(task_);
    }
    if (avrt_ != nullptr) FreeLibrary(avrt_);
}
