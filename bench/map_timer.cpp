// Start-up time to the first window, as the X server sees it.
//   map_timer [--timeout SECONDS] NAME PROGRAM [ARGS...]
// Watches the root window for windows being mapped, starts PROGRAM, and prints the time in
// milliseconds from just before the start to the moment a top-level window named NAME is
// mapped (viewable: without a window manager a mapped child of the root is on screen). Then
// ends PROGRAM (SIGTERM, then SIGKILL after 5 s). Exits 1 if PROGRAM ends first or no such
// window appears in time (default 30 s).
#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::string property(xcb_connection_t *c, xcb_window_t window, xcb_atom_t name)
{
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr),
        &std::free);
    if (!reply || reply->format != 8)
        return {};
    return std::string(static_cast<const char *>(xcb_get_property_value(reply.get())),
                       size_t(xcb_get_property_value_length(reply.get())));
}

void stop(pid_t child)
{
    kill(child, SIGTERM);
    const double deadline = nowMs() + 5000;
    while (nowMs() < deadline) {
        if (waitpid(child, nullptr, WNOHANG) == child)
            return;
        usleep(20000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

} // namespace

int main(int argc, char **argv)
{
    int arg = 1;
    double timeoutS = 30;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--timeout") == 0) {
        timeoutS = std::atof(argv[arg + 1]);
        arg += 2;
    }
    if (argc - arg < 2 || timeoutS <= 0) {
        std::fprintf(stderr, "usage: %s [--timeout SECONDS] NAME PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const std::string wanted = argv[arg];
    char **command = argv + arg + 1;

    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "map_timer: cannot open the display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t netWmName = atom(c, "_NET_WM_NAME");
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &rootMask);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // a round trip

    auto named = [&](xcb_window_t window) {
        return property(c, window, XCB_ATOM_WM_NAME) == wanted ||
               (netWmName != XCB_ATOM_NONE && property(c, window, netWmName) == wanted);
    };

    const double started = nowMs();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("map_timer: fork");
        return 1;
    }
    if (child == 0) {
        close(xcb_get_file_descriptor(c));
        execvp(command[0], command);
        std::fprintf(stderr, "map_timer: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }

    std::set<xcb_window_t> mapped;
    const double deadline = started + timeoutS * 1000;
    double shownAt = -1;
    while (shownAt < 0) {
        const double left = deadline - nowMs();
        if (left <= 0) {
            std::fprintf(stderr, "map_timer: no window named \"%s\" in %.0f s\n", wanted.c_str(),
                         timeoutS);
            break;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "map_timer: %s ended before its window showed\n", command[0]);
            xcb_disconnect(c);
            return 1;
        }
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&fd, 1, int(left < 50 ? left + 1 : 50));
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            const double at = nowMs();
            switch (event->response_type & 0x7f) {
            case XCB_MAP_NOTIFY: {
                const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
                if (map->event != root)
                    break;
                mapped.insert(map->window);
                if (named(map->window)) {
                    shownAt = at;
                } else {
                    // The name may come after the window is on screen.
                    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                    xcb_change_window_attributes(c, map->window, XCB_CW_EVENT_MASK, &mask);
                    xcb_flush(c);
                }
                break;
            }
            case XCB_UNMAP_NOTIFY:
                mapped.erase(reinterpret_cast<xcb_unmap_notify_event_t *>(event)->window);
                break;
            case XCB_PROPERTY_NOTIFY: {
                const auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event);
                if (mapped.count(change->window) && named(change->window))
                    shownAt = at;
                break;
            }
            default:
                break;
            }
            std::free(event);
            if (shownAt >= 0)
                break;
        }
        if (xcb_connection_has_error(c)) {
            std::fprintf(stderr, "map_timer: lost the display\n");
            break;
        }
    }
    stop(child);
    xcb_disconnect(c);
    if (shownAt < 0)
        return 1;
    std::printf("%.1f\n", shownAt - started);
    return 0;
}
