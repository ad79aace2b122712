// Owns an X11 window for --window tests and prints "<window id> <pid>", then
// waits for its stdin to close.
//   x11_window_helper [--pid N | --no-pid] [COMMAND ARG...]
// _NET_WM_PID is this process's own id unless --pid or --no-pid say
// otherwise; the printed pid is the one published (0 for none). COMMAND runs
// as a child, so it belongs to the published process's tree, and is ended
// with the helper.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    long published = getpid();
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--pid") == 0) {
        published = std::strtol(argv[2], nullptr, 0);
        first = 3;
    } else if (argc > 1 && std::strcmp(argv[1], "--no-pid") == 0) {
        published = 0;
        first = 2;
    }

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        std::fprintf(stderr, "x11_window_helper: no X display\n");
        xcb_disconnect(connection);
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 64, 64,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screens.data->root_visual, 0, nullptr);
    if (published != 0) {
        static constexpr char kName[] = "_NET_WM_PID";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, sizeof kName - 1, kName), nullptr);
        if (atom == nullptr) return 1;
        const auto value = static_cast<std::uint32_t>(published);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom->atom,
                            XCB_ATOM_CARDINAL, 32, 1, &value);
        std::free(atom);
    }
    xcb_map_window(connection, window);
    // A round trip: the window and its property exist once it returns.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));

    pid_t child = 0;
    if (first < argc) {
        child = fork();
        if (child == 0) {
            execvp(argv[first], argv + first);
            _exit(127);
        }
    }
    std::printf("0x%x %ld\n", static_cast<unsigned>(window), published);
    std::fflush(stdout);
    char received = 0;
    while (read(STDIN_FILENO, &received, 1) < 0 && errno == EINTR) {
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    xcb_destroy_window(connection, window);
    xcb_disconnect(connection);
    return 0;
}
