// The top-level windows of the listing: the window manager's client list
// (_NET_CLIENT_LIST) with the pid each window publishes (_NET_WM_PID) and its
// title. As for --window, the X server is asked from a child process, so a
// hung server costs at most the deadline and leaves nothing running.
#include "audio_sessions.h"
#include "x11_child.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t kMaxWindows = 4096;
constexpr std::uint32_t kMaxTitleWords = 256;  // 1 KiB of title

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)),
                                    name),
        nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// The property's bytes, empty when absent or of another type (any type, for
// XCB_GET_PROPERTY_TYPE_ANY).
std::string Property(xcb_connection_t* connection, xcb_get_property_cookie_t cookie,
                     xcb_atom_t type) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    std::string bytes;
    if (reply != nullptr && reply->type != XCB_ATOM_NONE &&
        (reply->type == type || type == XCB_GET_PROPERTY_TYPE_ANY))
        // The value's length is in bytes already, whatever the format.
        bytes.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
    return bytes;
}

// Child: one record per window, "window pid length title" in binary.
std::string Gather(const void*) {
    std::string out;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const xcb_setup_t* setup =
        xcb_connection_has_error(connection) == 0 ? xcb_get_setup(connection) : nullptr;
    if (setup != nullptr && xcb_setup_roots_length(setup) > 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
        const xcb_atom_t clients = Atom(connection, "_NET_CLIENT_LIST");
        const xcb_atom_t pidAtom = Atom(connection, "_NET_WM_PID");
        const xcb_atom_t nameAtom = Atom(connection, "_NET_WM_NAME");
        const xcb_atom_t utf8 = Atom(connection, "UTF8_STRING");
        // Window managers give it type WINDOW; tools that set it by hand, CARDINAL.
        std::string list = Property(
            connection,
            xcb_get_property(connection, 0, root, clients, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxWindows),
            XCB_GET_PROPERTY_TYPE_ANY);
        for (std::size_t at = 0; at + 4 <= list.size(); at += 4) {
            xcb_window_t window = 0;
            std::memcpy(&window, list.data() + at, 4);
            const auto pidCookie =
                xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1);
            const auto nameCookie =
                xcb_get_property(connection, 0, window, nameAtom, utf8, 0, kMaxTitleWords);
            const auto legacyCookie = xcb_get_property(connection, 0, window, XCB_ATOM_WM_NAME,
                                                       XCB_ATOM_STRING, 0, kMaxTitleWords);
            const std::string pid = Property(connection, pidCookie, XCB_ATOM_CARDINAL);
            std::string title = Property(connection, nameCookie, utf8);
            const std::string legacy = Property(connection, legacyCookie, XCB_ATOM_STRING);
            if (pid.size() < 4) continue;
            if (title.empty()) title = legacy;  // Latin-1: decoded as UTF-8, odd bytes become U+FFFD
            const std::uint32_t header[3] = {window, 0, static_cast<std::uint32_t>(title.size())};
            out.append(reinterpret_cast<const char*>(header), sizeof header);
            std::memcpy(&out[out.size() - 8], pid.data(), 4);
            out += title;
        }
    }
    xcb_disconnect(connection);
    return out;
}

}  // namespace

std::vector<TopLevelWindow> EnumerateTopLevelWindows() {
    std::vector<TopLevelWindow> windows;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return windows;
    const std::optional<std::string> answer = QueryInChild(Gather, nullptr);
    if (!answer) return windows;
    const std::string& in = *answer;
    for (std::size_t at = 0; at + 12 <= in.size();) {
        std::uint32_t header[3];
        std::memcpy(header, in.data() + at, sizeof header);
        at += sizeof header;
        if (header[2] > in.size() - at) break;
        const std::string title = in.substr(at, header[2]);
        at += header[2];
        windows.push_back({header[1], header[0], PosixArgumentToWide(title.c_str())});
    }
    return windows;
}
