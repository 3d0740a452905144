#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

// The pieces of the X11 protocol the program speaks itself, on the connection Qt draws on.
namespace X11 {

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
// An xcb reply, freed when it goes.
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

// Qt's xcb connection, or null when Qt runs on another platform.
xcb_connection_t *connection();
// The root window of the first screen, where Qt puts its windows and docks its icon.
xcb_window_t root(xcb_connection_t *connection);
// The atom of that name, or XCB_ATOM_NONE when the server does not answer.
xcb_atom_t atom(xcb_connection_t *connection, const char *name);

} // namespace X11
