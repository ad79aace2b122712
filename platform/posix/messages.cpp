// The system's texts for the codes this program can report. Like Windows,
// every text ends in CR LF.
#include <win32_posix.h>

#include <cstdlib>
#include <cwchar>

namespace {

struct Message {
    DWORD code;
    const wchar_t* text;
};

constexpr DWORD kMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

const Message kMessages[] = {
    {0x80004001u, L"N\u00e3o implementado\r\n"},
    {0x80004002u, L"Interface sem suporte\r\n"},
    {0x80004003u, L"Ponteiro inv\u00e1lido\r\n"},
    {0x80004005u, L"Erro n\u00e3o especificado\r\n"},
    {0x8000FFFFu, L"Falha catastr\u00f3fica\r\n"},
    {0x80070002u, L"O sistema n\u00e3o pode encontrar o arquivo especificado.\r\n"},
    {0x80070005u, L"Acesso negado.\r\n"},
    {0x80070006u, L"O identificador \u00e9 inv\u00e1lido.\r\n"},
    {0x80070008u, L"Armazenamento insuficiente dispon\u00edvel para processar este comando.\r\n"},
    {0x8007000Eu, L"Sem mem\u00f3ria suficiente para concluir esta opera\u00e7\u00e3o.\r\n"},
    {0x80070057u, L"O par\u00e2metro est\u00e1 incorreto.\r\n"},
    {0x8007001Fu, L"Um dispositivo conectado ao sistema n\u00e3o est\u00e1 funcionando.\r\n"},
    {0x8007006Du, L"O pipe foi finalizado.\r\n"},
    {0x80070070u, L"N\u00e3o h\u00e1 espa\u00e7o suficiente no disco.\r\n"},
    {0x800705B4u, L"Tempo limite da opera\u00e7\u00e3o atingido.\r\n"},
    {0x88890001u, L"O cliente de \u00e1udio n\u00e3o foi inicializado.\r\n"},
    {0x88890004u, L"O dispositivo de \u00e1udio foi invalidado.\r\n"},
    {0x88890008u, L"O formato de \u00e1udio n\u00e3o \u00e9 suportado.\r\n"},
    {0x88890010u, L"O servi\u00e7o de \u00e1udio n\u00e3o est\u00e1 em execu\u00e7\u00e3o.\r\n"},
};

}  // namespace

// Only what the program asks for: a system text in a buffer it frees.
DWORD FormatMessageW(DWORD flags, const void*, DWORD messageId, DWORD, LPWSTR buffer, DWORD,
                     void*) {
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const Message& message : kMessages) {
        if (message.code != messageId) continue;
        const std::size_t length = std::wcslen(message.text);
        auto* copy = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::wmemcpy(copy, message.text, length + 1);
        *reinterpret_cast<LPWSTR*>(buffer) = copy;
        return static_cast<DWORD>(length);
    }
    SetLastError(kMessageNotFound);
    return 0;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
