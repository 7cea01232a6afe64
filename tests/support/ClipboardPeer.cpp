// Other programs' side of the X clipboard, for desktop tests:
//   talvane_clipboard_peer own TYPE FILE [TYPE FILE]...
//     owns CLIPBOARD and serves each TYPE from FILE; a FILE of "-" offers the type but never delivers it, as a
//     hung owner does. Prints "ready" once it owns the selection; exits when another program copies.
//   talvane_clipboard_peer manager
//     a clipboard manager: owns CLIPBOARD_MANAGER; on a SAVE_TARGETS request it reads every type from the
//     clipboard's owner, answers, then owns CLIPBOARD itself and serves what it saved. Prints "ready" once it
//     owns CLIPBOARD_MANAGER.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

xcb_connection_t *conn = nullptr;
xcb_window_t window = XCB_WINDOW_NONE;

// Type name -> contents; absent contents are never delivered.
std::map<std::string, std::optional<std::string>> served;
std::vector<std::string> servedOrder;

xcb_atom_t atom(const std::string &name)
{
    auto *reply = xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, name.size(), name.data()), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

std::string atomName(xcb_atom_t value)
{
    auto *reply = xcb_get_atom_name_reply(conn, xcb_get_atom_name(conn, value), nullptr);
    if (!reply)
        return {};
    std::string name(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
    std::free(reply);
    return name;
}

void own(xcb_atom_t selection)
{
    xcb_set_selection_owner(conn, window, selection, XCB_CURRENT_TIME);
    auto *reply = xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, selection), nullptr);
    const bool owned = reply && reply->owner == window;
    std::free(reply);
    if (!owned)
        std::exit(3);
}

void notify(const xcb_selection_request_event_t &request, xcb_atom_t property)
{
    xcb_selection_notify_event_t event = {};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = request.time;
    event.requestor = request.requestor;
    event.selection = request.selection;
    event.target = request.target;
    event.property = property;
    xcb_send_event(conn, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
    xcb_flush(conn);
}

// Answers a request for the clipboard from `served`: TARGETS lists the types, a type gets its contents.
void serve(const xcb_selection_request_event_t &request)
{
    const xcb_atom_t property = request.property ? request.property : request.target;
    if (request.target == atom("TARGETS")) {
        std::vector<xcb_atom_t> targets{atom("TARGETS")};
        for (const std::string &type : servedOrder)
            targets.push_back(atom(type));
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32, targets.size(),
                            targets.data());
        return notify(request, property);
    }
    const auto found = served.find(atomName(request.target));
    if (found == served.end())
        return notify(request, XCB_ATOM_NONE);
    if (!found->second)
        return; // never answered
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                        found->second->size(), found->second->data());
    notify(request, property);
}

// The bytes of `target` of the CLIPBOARD selection, converted into our window.
std::optional<std::string> convert(xcb_atom_t target)
{
    const xcb_atom_t property = atom("TALVANE_PEER_TRANSFER");
    xcb_convert_selection(conn, window, atom("CLIPBOARD"), target, property, XCB_CURRENT_TIME);
    xcb_flush(conn);
    while (xcb_generic_event_t *event = xcb_wait_for_event(conn)) {
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) {
            std::free(event);
            continue;
        }
        const auto notified = *reinterpret_cast<xcb_selection_notify_event_t *>(event);
        std::free(event);
        if (notified.property == XCB_ATOM_NONE)
            return std::nullopt;
        auto *reply = xcb_get_property_reply(
            conn, xcb_get_property(conn, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 28), nullptr);
        if (!reply)
            return std::nullopt;
        std::string bytes(static_cast<const char *>(xcb_get_property_value(reply)),
                          xcb_get_property_value_length(reply));
        std::free(reply);
        return bytes;
    }
    std::exit(4);
}

// Saves what the clipboard's owner offers, as a clipboard manager does before the owner exits.
void save()
{
    served.clear();
    servedOrder.clear();
    const auto targets = convert(atom("TARGETS"));
    if (!targets)
        return;
    const auto *atoms = reinterpret_cast<const xcb_atom_t *>(targets->data());
    for (size_t i = 0; i < targets->size() / sizeof(xcb_atom_t); ++i) {
        const std::string name = atomName(atoms[i]);
        if (name == "TARGETS" || name == "MULTIPLE" || name == "TIMESTAMP" || name == "SAVE_TARGETS")
            continue;
        if (auto bytes = convert(atoms[i])) {
            served[name] = std::move(bytes);
            servedOrder.push_back(name);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "manager" && (mode != "own" || argc % 2 != 0))
        return 2;
    conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn))
        return 3;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
    window = xcb_generate_id(conn);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    const xcb_atom_t clipboard = atom("CLIPBOARD");
    const xcb_atom_t manager = atom("CLIPBOARD_MANAGER");
    if (mode == "own") {
        for (int i = 2; i + 1 < argc; i += 2) {
            std::optional<std::string> bytes;
            if (std::strcmp(argv[i + 1], "-") != 0) {
                std::ifstream file(argv[i + 1], std::ios::binary);
                bytes.emplace(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            }
            served[argv[i]] = bytes;
            servedOrder.push_back(argv[i]);
        }
    }
    own(mode == "own" ? clipboard : manager);
    std::puts("ready");
    std::fflush(stdout);

    while (xcb_generic_event_t *event = xcb_wait_for_event(conn)) {
        const int type = event->response_type & 0x7f;
        if (type == XCB_SELECTION_CLEAR && mode == "own")
            return 0;
        if (type == XCB_SELECTION_REQUEST) {
            const auto request = *reinterpret_cast<xcb_selection_request_event_t *>(event);
            if (request.selection == clipboard) {
                serve(request);
            } else if (request.target == atom("SAVE_TARGETS")) {
                save();
                notify(request, request.property);
                own(clipboard);
            } else {
                notify(request, XCB_ATOM_NONE);
            }
        }
        std::free(event);
    }
    return 0;
}
