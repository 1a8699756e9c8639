// Start-up: the time from starting the program to its main window mapped on the X server, the
// median of five starts. Run it on an X server of its own (tools/bench.sh uses xvfb-run): with
// no window manager there, the program's top-level window is a child of the root window, and
// a client that watches the root's children is told of its mapping as it happens.
//
// Each window is then closed as its close box would close it (a WM_DELETE_WINDOW request) and
// the program must end; the time from that request to its exit is shown beside.
//
// Goal: the window shown within 1 s.
//
// Usage: bench_startup PROGRAM
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "tests/support/Process.h"

extern char** environ;

namespace {

constexpr int kStarts = 5;
constexpr double kGoalMs = 1000;
const char kTitle[] = "KAVOSEN_WIN";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string Property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
    if (!reply) {
        return "";
    }
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

// Whether pid has ended, reaping it if so.
bool Ended(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

struct Start {
    double mappedMs = -1;  // -1: the window never appeared
    double exitMs = -1;    // -1: the program did not end on the close request
};

Start MeasureStart(xcb_connection_t* c, const char* program, xcb_atom_t netWmName,
                   xcb_atom_t wmProtocols, xcb_atom_t wmDeleteWindow) {
    Start start;
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = 0;
    const Clock::time_point begin = Clock::now();
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        return start;
    }

    xcb_window_t window = XCB_WINDOW_NONE;
    const Clock::time_point giveUp = begin + std::chrono::seconds(10);
    while (window == XCB_WINDOW_NONE && Clock::now() < giveUp && !Ended(pid)) {
        std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(xcb_poll_for_event(c));
        if (!event) {
            if (xcb_connection_has_error(c)) {
                break;
            }
            pollfd p = {xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&p, 1, 10);
            continue;
        }
        if ((event->response_type & 0x7F) != XCB_MAP_NOTIFY) {
            continue;
        }
        const Clock::time_point mapped = Clock::now();
        const xcb_window_t w = reinterpret_cast<xcb_map_notify_event_t*>(event.get())->window;
        if (Property(c, w, netWmName) == kTitle || Property(c, w, XCB_ATOM_WM_NAME) == kTitle) {
            window = w;
            start.mappedMs = Milliseconds(mapped - begin);
        }
    }

    if (window != XCB_WINDOW_NONE) {
        xcb_client_message_event_t close = {};
        close.response_type = XCB_CLIENT_MESSAGE;
        close.format = 32;
        close.window = window;
        close.type = wmProtocols;
        close.data.data32[0] = wmDeleteWindow;
        close.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<char*>(&close));
        xcb_flush(c);
        const Clock::time_point asked = Clock::now();
        while (Clock::now() - asked < std::chrono::seconds(5)) {
            if (Ended(pid)) {
                start.exitMs = Milliseconds(Clock::now() - asked);
                return start;
            }
            usleep(1000);
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return start;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string figure = Format("start to window shown, median of %d", kStarts);
    const std::string goal = Format("< %.0f ms", kGoalMs);
    int screenNumber = 0;
    xcb_connection_t* c = argc == 2 ? xcb_connect(nullptr, &screenNumber) : nullptr;
    if (!c || xcb_connection_has_error(c)) {
        Progress("usage: bench_startup PROGRAM, with DISPLAY naming an X server of its own");
        PrintRow(figure, "no X server", goal, Mark::kMissed);
        return 1;
    }
    // The program runs on that server, whatever the benchmarks that run offscreen were given.
    unsetenv("QT_QPA_PLATFORM");
    PrepareQtEnvironment();

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&screens);
    }
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screens.data->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netWmName = Atom(c, "_NET_WM_NAME");
    const xcb_atom_t wmProtocols = Atom(c, "WM_PROTOCOLS");
    const xcb_atom_t wmDeleteWindow = Atom(c, "WM_DELETE_WINDOW");
    xcb_flush(c);

    std::vector<double> mapped;
    std::vector<double> exited;
    for (int i = 0; i < kStarts; ++i) {
        Progress("startup: start %d of %d", i + 1, kStarts);
        const Start start = MeasureStart(c, argv[1], netWmName, wmProtocols, wmDeleteWindow);
        if (start.mappedMs >= 0) {
            mapped.push_back(start.mappedMs);
        }
        if (start.exitMs >= 0) {
            exited.push_back(start.exitMs);
        }
    }
    xcb_disconnect(c);

    if (static_cast<int>(mapped.size()) < kStarts) {
        PrintRow("starts with no window",
                 Format("%d of %d", kStarts - static_cast<int>(mapped.size()), kStarts), "none",
                 Mark::kMissed);
    }
    PrintRow(figure, MedianAndRange(mapped, "%.0f ms"), goal,
             mapped.empty() ? Mark::kMissed : MarkOf(Median(mapped) < kGoalMs));
    PrintRow("close request to program ended", MedianAndRange(exited, "%.0f ms"),
             Format("ends on every close (%d of %d)", static_cast<int>(exited.size()), kStarts),
             MarkOf(static_cast<int>(exited.size()) == kStarts));
    return 0;
}
