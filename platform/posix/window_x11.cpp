// Windows on Linux are X11 windows (XWayland included): a window value is an
// X11 window id, and its process is the one toolkits publish in _NET_WM_PID.
// Where the X server can tell which local process owns the window (X-Resource
// 1.2), that process must be the published one, or the window names no
// process: a property is only a claim any client can write, and a wrong
// target would capture the wrong audio and still look like success. A server
// that cannot tell (no X-Resource, a client over TCP) leaves the property
// unchecked.
#include "win32_posix.h"
#include "x11_child.h"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct WindowFacts {
    bool exists = false;
    DWORD processId = 0;
};

// Frees an xcb reply on every path.
template <typename T>
struct Reply {
    T* value = nullptr;
    ~Reply() { std::free(value); }
    T* operator->() const { return value; }
    explicit operator bool() const { return value != nullptr; }
};

// The pid the server knows for the client that owns the window, or 0.
DWORD OwningClientPid(xcb_connection_t* connection, xcb_window_t window) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_res_id);
    if (extension == nullptr || !extension->present) return 0;
    Reply<xcb_res_query_version_reply_t> version{
        xcb_res_query_version_reply(connection, xcb_res_query_version(connection, 1, 2), nullptr)};
    if (!version || version->server_major < 1 ||
        (version->server_major == 1 && version->server_minor < 2))
        return 0;

    // A value record holds the query record first; only the local pid is asked for.
    xcb_res_client_id_value_t request{};
    [[maybe_unused]] auto& [query, unusedLength] = request;
    query = {window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    Reply<xcb_res_query_client_ids_reply_t> ids{xcb_res_query_client_ids_reply(
        connection, xcb_res_query_client_ids(connection, 1, &query), nullptr)};
    if (!ids) return 0;
    for (auto it = xcb_res_query_client_ids_ids_iterator(ids.value); it.rem > 0;
         xcb_res_client_id_value_next(&it)) {
        [[maybe_unused]] const auto& [id, length] = *it.data;
        if ((id.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
            xcb_res_client_id_value_value_length(it.data) >= 1)
            return *xcb_res_client_id_value_value(it.data);
    }
    return 0;
}

WindowFacts Query(xcb_connection_t* connection, xcb_window_t window) {
    WindowFacts facts;
    static constexpr char kPidAtom[] = "_NET_WM_PID";
    // Both requests go out before either answer is awaited.
    const auto attributesCookie = xcb_get_window_attributes(connection, window);
    const auto atomCookie = xcb_intern_atom(connection, 1, sizeof kPidAtom - 1, kPidAtom);
    Reply<xcb_get_window_attributes_reply_t> attributes{
        xcb_get_window_attributes_reply(connection, attributesCookie, nullptr)};
    Reply<xcb_intern_atom_reply_t> atom{xcb_intern_atom_reply(connection, atomCookie, nullptr)};
    if (!attributes) return facts;
    facts.exists = true;
    if (!atom || atom->atom == XCB_ATOM_NONE) return facts;

    Reply<xcb_get_property_reply_t> property{xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, window, atom->atom, XCB_ATOM_CARDINAL, 0, 1), nullptr)};
    if (!property || property->type != XCB_ATOM_CARDINAL || property->format != 32 ||
        xcb_get_property_value_length(property.value) < 4)
        return facts;
    DWORD published = 0;
    std::memcpy(&published, xcb_get_property_value(property.value), sizeof published);

    const DWORD owner = OwningClientPid(connection, window);
    facts.processId = owner == 0 || owner == published ? published : 0;
    return facts;
}

std::string QueryChild(const void* context) {
    WindowFacts facts;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);  // DISPLAY decides
    if (xcb_connection_has_error(connection) == 0)
        facts = Query(connection, *static_cast<const xcb_window_t*>(context));
    xcb_disconnect(connection);
    const std::uint32_t answer[2] = {facts.exists ? 1u : 0u, facts.processId};
    return std::string(reinterpret_cast<const char*>(answer), sizeof answer);
}

WindowFacts LookUp(xcb_window_t window) {
    const std::optional<std::string> in = QueryInChild(QueryChild, &window);
    if (!in || in->size() != 2 * sizeof(std::uint32_t)) return {};
    std::uint32_t answer[2];
    std::memcpy(answer, in->data(), sizeof answer);
    return {answer[0] != 0, answer[1]};
}

// IsWindow and GetWindowThreadProcessId come in pairs; one lookup serves both.
WindowFacts Resolve(HWND window) {
    static std::mutex cacheMutex;
    static HWND cachedWindow = nullptr;
    static WindowFacts cachedFacts;
    const auto value = reinterpret_cast<std::uintptr_t>(window);
    if (value == 0 || value > 0xFFFFFFFFu) return {};  // X11 ids are 32 bits
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (window != cachedWindow) {
        cachedFacts = LookUp(static_cast<xcb_window_t>(value));
        cachedWindow = window;
    }
    return cachedFacts;
}

}  // namespace

BOOL IsWindow(HWND window) { return Resolve(window).exists ? TRUE : FALSE; }

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    const DWORD pid = Resolve(window).processId;
    if (processId != nullptr) *processId = pid;
    return pid;  // a process's main thread has the process's id on Linux
}
