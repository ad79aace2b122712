// x11_window_helper [--pid N | --no-pid]: maps a window whose _NET_WM_PID is this process (or
// N, or none), prints "<window id> <pid or 0>" and waits for its input to close.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const bool pid = argc > 2 && std::strcmp(argv[1], "--pid") == 0;
    const bool noPid = argc > 1 && std::strcmp(argv[1], "--no-pid") == 0;
    const auto published = static_cast<std::uint32_t>(noPid ? 0 : pid ? std::atol(argv[2]) : getpid());
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 11, "_NET_WM_PID"), nullptr);
    if (published != 0)
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom->atom, XCB_ATOM_CARDINAL,
                            32, 1, &published);
    std::free(xcb_request_check(connection, xcb_map_window_checked(connection, window)));  // all done
    std::printf("0x%x %u\n", window, published);
    std::fflush(stdout);
    char received;
    while (read(STDIN_FILENO, &received, 1) > 0) {
    }
    std::free(atom);
    xcb_disconnect(connection);
    return 0;
}
