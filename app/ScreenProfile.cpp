#include "app/ScreenProfile.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

// The root window of the screen DISPLAY names (":0.1" the second), the first when it names none.
xcb_window_t RootWindow(xcb_connection_t* connection) {
    int screenNumber = 0;
    char* host = nullptr;
    int display = 0;
    if (!xcb_parse_display(nullptr, &host, &display, &screenNumber)) screenNumber = 0;
    std::free(host);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
    return screens.data->root;
}

}  // namespace

QByteArray ReadScreenProfile() {
    // The offscreen platform answers as X11 too, without a connection.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return {};
    static constexpr char kAtomName[] = "_ICC_PROFILE";
    const XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 1, sizeof(kAtomName) - 1, kAtomName), nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE) return {};
    // The whole property, in 4-byte units, up to 64 MB, far above any profile's size.
    const XcbReply<xcb_get_property_reply_t> property(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, RootWindow(connection), atom->atom,
                                                XCB_GET_PROPERTY_TYPE_ANY, 0, 16u << 20),
                               nullptr),
        &std::free);
    if (!property || property->format != 8) return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(property.get())),
                      xcb_get_property_value_length(property.get()));
}
