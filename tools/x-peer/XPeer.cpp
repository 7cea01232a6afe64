// Another X client for desktop tests; prints "ready" once in place. `own TYPE FILE...` owns CLIPBOARD, serving
// each TYPE from FILE ("-": offered, never delivered, as by a hung owner), until another program copies.
// `manager` owns CLIPBOARD_MANAGER: on SAVE_TARGETS it takes every type from the clipboard's owner and serves
// them itself. `grab KEYSYM MASK...` grabs the key per modifier mask, as a second instance or a window manager
// would ("taken" when another client holds one), until its standard input closes.
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

xcb_connection_t *conn = nullptr;
xcb_window_t window = XCB_WINDOW_NONE;
// Type name and contents, in the order offered; absent contents are never delivered.
std::vector<std::pair<std::string, std::optional<std::string>>> served;

template <class T> auto owned(T *reply)
{
    return std::unique_ptr<T, decltype(&std::free)>(reply, &std::free);
}

xcb_atom_t atom(const std::string &name)
{
    const auto reply = owned(xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, name.size(), name.data()), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::string atomName(xcb_atom_t value)
{
    const auto reply = owned(xcb_get_atom_name_reply(conn, xcb_get_atom_name(conn, value), nullptr));
    return reply ? std::string(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get())) : "";
}

void own(xcb_atom_t selection)
{
    xcb_set_selection_owner(conn, window, selection, XCB_CURRENT_TIME);
    const auto reply = owned(xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, selection), nullptr));
    if (!reply || reply->owner != window)
        std::exit(3);
}

void notify(const xcb_selection_request_event_t &request, xcb_atom_t property)
{
    const xcb_selection_notify_event_t event{
        XCB_SELECTION_NOTIFY, 0, 0, request.time, request.requestor, request.selection, request.target, property};
    xcb_send_event(conn, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
    xcb_flush(conn);
}

void put(const xcb_selection_request_event_t &request, xcb_atom_t type, int format, int count, const void *data)
{
    const xcb_atom_t property = request.property ? request.property : request.target;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, request.requestor, property, type, format, count, data);
    notify(request, property);
}

// TARGETS lists the types, a type gets its contents.
void serve(const xcb_selection_request_event_t &request)
{
    std::vector<xcb_atom_t> targets{atom("TARGETS")};
    const std::string name = atomName(request.target);
    for (const auto &[type, bytes] : served) {
        targets.push_back(atom(type));
        if (type == name) // a type without bytes is never answered
            return bytes ? put(request, request.target, 8, bytes->size(), bytes->data()) : void();
    }
    if (request.target == targets.front())
        return put(request, XCB_ATOM_ATOM, 32, targets.size(), targets.data());
    notify(request, XCB_ATOM_NONE);
}

// The bytes of `target` of the CLIPBOARD, converted into our window.
std::optional<std::string> convert(xcb_atom_t target)
{
    const xcb_atom_t property = atom("TALVANE_PEER_TRANSFER");
    xcb_convert_selection(conn, window, atom("CLIPBOARD"), target, property, XCB_CURRENT_TIME);
    xcb_flush(conn);
    while (const auto event = owned(xcb_wait_for_event(conn))) {
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY)
            continue;
        const xcb_atom_t answer = reinterpret_cast<xcb_selection_notify_event_t *>(event.get())->property;
        const auto cookie = xcb_get_property(conn, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 28);
        const auto reply = owned(answer ? xcb_get_property_reply(conn, cookie, nullptr) : nullptr);
        if (!reply)
            return std::nullopt;
        return std::string(static_cast<const char *>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
    }
    std::exit(4);
}

// Saves what the clipboard's owner offers, as a clipboard manager does before the owner exits, then serves it.
void takeOver(const xcb_selection_request_event_t &request)
{
    served.clear();
    const std::string targets = convert(atom("TARGETS")).value_or("");
    const auto *atoms = reinterpret_cast<const xcb_atom_t *>(targets.data());
    for (size_t i = 0; i < targets.size() / sizeof(xcb_atom_t); ++i) {
        const std::string name = atomName(atoms[i]);
        if (name == "TARGETS" || name == "MULTIPLE" || name == "TIMESTAMP" || name == "SAVE_TARGETS")
            continue;
        if (auto bytes = convert(atoms[i]))
            served.emplace_back(name, std::move(bytes));
    }
    notify(request, request.property);
    own(atom("CLIPBOARD"));
}

int grab(int argc, char **argv, xcb_window_t root)
{
    Display *dpy = XOpenDisplay(nullptr);
    const xcb_keycode_t code = dpy ? XKeysymToKeycode(dpy, XStringToKeysym(argv[2])) : 0;
    if (!code)
        return 2;
    bool taken = false;
    for (int i = 3; i < argc; ++i) {
        const auto mask = uint16_t(std::strtoul(argv[i], nullptr, 0));
        taken |= owned(xcb_request_check(conn, xcb_grab_key_checked(conn, 0, root, mask, code, XCB_GRAB_MODE_ASYNC,
                                                                    XCB_GRAB_MODE_ASYNC))) != nullptr;
    }
    std::puts(taken ? "taken" : "ready");
    for (char buffer[64]; read(0, buffer, sizeof buffer) > 0;) {
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (mode != "manager" && (mode != "grab" || argc < 4) && (mode != "own" || argc % 2 != 0))
        return 2;
    conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn))
        return 3;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    if (mode == "grab")
        return grab(argc, argv, root);
    window = xcb_generate_id(conn);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    for (int i = 2; mode == "own" && i + 1 < argc; i += 2) {
        std::string bytes(std::istreambuf_iterator<char>(std::ifstream(argv[i + 1], std::ios::binary).rdbuf()), {});
        served.emplace_back(argv[i], std::string(argv[i + 1]) != "-" ? std::optional(bytes) : std::nullopt);
    }
    const xcb_atom_t clipboard = atom("CLIPBOARD");
    own(mode == "own" ? clipboard : atom("CLIPBOARD_MANAGER"));
    std::puts("ready");
    while (const auto event = owned(xcb_wait_for_event(conn))) {
        const int type = event->response_type & 0x7f;
        const auto &request = *reinterpret_cast<xcb_selection_request_event_t *>(event.get());
        if (type == XCB_SELECTION_CLEAR && mode == "own")
            return 0;
        if (type != XCB_SELECTION_REQUEST)
            continue;
        if (request.selection == clipboard)
            serve(request);
        else if (request.target != atom("SAVE_TARGETS"))
            notify(request, XCB_ATOM_NONE);
        else
            takeOver(request);
    }
    return 0;
}
