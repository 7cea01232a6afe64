#include "platform/x11/X11ClipboardReader.h"

#include "platform/Log.h"

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace X11ClipboardReader {

namespace {

using Clock = std::chrono::steady_clock;

template <typename T> std::unique_ptr<T, decltype(&std::free)> owned(T *reply)
{
    return {reply, &std::free};
}

// Where the plain text may come from, best first: UTF-8, then what the owner calls text/plain, then Latin-1.
const char *const textSources[] = {"UTF8_STRING", "text/plain", "STRING", "TEXT"};

// One type being converted into a property of our window, in one piece or in INCR parts.
struct Transfer
{
    Transfer(QString type, xcb_atom_t target, int textSource = -1)
        : type(std::move(type)), target(target), textSource(textSource)
    {
    }

    QString type;
    xcb_atom_t target;
    int textSource; // index into textSources when this is the plain text
    xcb_atom_t property = XCB_ATOM_NONE;
    enum { asked, incremental, done } state = asked;
    QByteArray data;
    qint64 tooLarge = -1; // the size (at least) of a type over the byte limit
};

class Reader
{
public:
    Reader(const QByteArray &display, qint64 byteLimit) : byteLimit(byteLimit)
    {
        conn = xcb_connect(display.constData(), nullptr);
        if (xcb_connection_has_error(conn))
            return;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        window = xcb_generate_id(conn);
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
        const auto names = atoms({"CLIPBOARD", "TARGETS", "INCR"});
        clipboard = names[0];
        targets = names[1];
        incr = names[2];
    }

    ~Reader() { xcb_disconnect(conn); } // also drops our window: late answers go nowhere

    bool connected() const { return !xcb_connection_has_error(conn); }

    bool hasOwner()
    {
        const auto reply =
            owned(xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, clipboard), nullptr));
        return reply && reply->owner != XCB_WINDOW_NONE;
    }

    // The owner's list of targets, or nothing when it did not give one in time.
    std::optional<std::vector<xcb_atom_t>> targetList(Clock::time_point deadline)
    {
        std::vector<Transfer> list{Transfer(QStringLiteral("TARGETS"), targets)};
        transfer(list, deadline);
        if (list[0].state != Transfer::done)
            return std::nullopt;
        const auto *atoms = reinterpret_cast<const xcb_atom_t *>(list[0].data.constData());
        return std::vector<xcb_atom_t>(atoms, atoms + list[0].data.size() / sizeof(xcb_atom_t));
    }

    // The types to read, in the owner's order, the plain text once at the place of its first source.
    std::vector<Transfer> contentTypes(const std::vector<xcb_atom_t> &offered)
    {
        std::vector<xcb_get_atom_name_cookie_t> cookies;
        for (xcb_atom_t atom : offered)
            cookies.push_back(xcb_get_atom_name(conn, atom));
        std::vector<Transfer> result;
        for (size_t i = 0; i < offered.size(); ++i) {
            const auto reply = owned(xcb_get_atom_name_reply(conn, cookies[i], nullptr));
            if (!reply)
                continue;
            const QString name =
                QString::fromLatin1(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
            const auto source = std::find(std::begin(textSources), std::end(textSources), name.toLatin1());
            const int textSource = source == std::end(textSources) ? -1 : int(source - std::begin(textSources));
            const QString type = textSource >= 0 ? QStringLiteral("text/plain") : name;
            // Targets that describe the selection (TARGETS, TIMESTAMP, …), legacy ones that Qt derives again from
            // text/plain when it serves the contents, and Qt's own decoded image are no contents of their own.
            if (textSource < 0 && (!name.contains(QLatin1Char('/')) || name == QLatin1String("application/x-qt-image")))
                continue;
            const auto same =
                std::find_if(result.begin(), result.end(), [&](const Transfer &t) { return t.type == type; });
            if (same == result.end())
                result.emplace_back(type, offered[i], textSource);
            else if (textSource >= 0 && textSource < same->textSource)
                *same = Transfer(type, offered[i], textSource);
        }
        return result;
    }

    // Asks the owner for every type at once, so that one it never answers delays none of the others, and reads
    // the answers until all are in or `deadline` has passed.
    void transfer(std::vector<Transfer> &list, Clock::time_point deadline)
    {
        std::vector<QByteArray> names;
        for (size_t i = 0; i < list.size(); ++i)
            names.push_back("_TALVANE_CLIPBOARD_" + QByteArray::number(qulonglong(i)));
        const auto properties = atoms(names);
        for (size_t i = 0; i < list.size(); ++i) {
            list[i].property = properties[i];
            xcb_convert_selection(conn, window, clipboard, list[i].target, list[i].property, XCB_CURRENT_TIME);
        }
        auto pending = [&] {
            return std::any_of(list.begin(), list.end(), [](const Transfer &t) { return t.state != Transfer::done; });
        };
        while (pending() && connected()) {
            xcb_flush(conn);
            if (auto event = owned(xcb_poll_for_event(conn))) {
                handle(*event, list);
                continue;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return;
            pollfd socket{xcb_get_file_descriptor(conn), POLLIN, 0};
            poll(&socket, 1, int(left));
        }
    }

private:
    std::vector<xcb_atom_t> atoms(const std::vector<QByteArray> &names)
    {
        std::vector<xcb_intern_atom_cookie_t> cookies;
        for (const QByteArray &name : names)
            cookies.push_back(xcb_intern_atom(conn, 0, name.size(), name.constData()));
        std::vector<xcb_atom_t> result;
        for (const auto &cookie : cookies) {
            const auto reply = owned(xcb_intern_atom_reply(conn, cookie, nullptr));
            result.push_back(reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE));
        }
        return result;
    }

    void handle(const xcb_generic_event_t &event, std::vector<Transfer> &list)
    {
        const int type = event.response_type & 0x7f;
        if (type == XCB_SELECTION_NOTIFY) {
            const auto &notify = reinterpret_cast<const xcb_selection_notify_event_t &>(event);
            const auto transfer = std::find_if(list.begin(), list.end(), [&](const Transfer &t) {
                return t.state == Transfer::asked && t.target == notify.target;
            });
            if (notify.requestor != window || transfer == list.end())
                return;
            if (notify.property == XCB_ATOM_NONE)
                transfer->state = Transfer::done; // the owner cannot give this type
            else
                begin(*transfer);
        } else if (type == XCB_PROPERTY_NOTIFY) {
            const auto &change = reinterpret_cast<const xcb_property_notify_event_t &>(event);
            const auto transfer = std::find_if(list.begin(), list.end(), [&](const Transfer &t) {
                return t.state == Transfer::incremental && t.property == change.atom;
            });
            if (change.window == window && change.state == XCB_PROPERTY_NEW_VALUE && transfer != list.end())
                readPart(*transfer);
        }
    }

    // The owner has answered: the whole value, or the announcement of an incremental transfer.
    void begin(Transfer &transfer)
    {
        transfer.state = Transfer::done;
        const auto head = owned(xcb_get_property_reply(
            conn, xcb_get_property(conn, 0, window, transfer.property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr));
        if (!head)
            return;
        if (head->type == incr) {
            // The announced size is a lower bound. Leaving the property in place declines the transfer.
            const qint64 announced = xcb_get_property_value_length(head.get()) >= 4
                                         ? *static_cast<const uint32_t *>(xcb_get_property_value(head.get()))
                                         : 0;
            if (announced > byteLimit) {
                transfer.tooLarge = announced;
                return;
            }
            transfer.state = Transfer::incremental;
            xcb_delete_property(conn, window, transfer.property); // asks for the first part
            return;
        }
        const qint64 size = xcb_get_property_value_length(head.get()) + head->bytes_after;
        if (size > byteLimit) {
            transfer.tooLarge = size;
            xcb_delete_property(conn, window, transfer.property);
            return;
        }
        transfer.data = takeProperty(transfer.property);
    }

    // The next part of an incremental transfer; an empty one ends it.
    void readPart(Transfer &transfer)
    {
        const QByteArray part = takeProperty(transfer.property);
        if (part.isEmpty()) {
            transfer.state = Transfer::done;
        } else if (transfer.data.size() + part.size() > byteLimit) {
            transfer.tooLarge = transfer.data.size() + part.size();
            transfer.data.clear();
            transfer.state = Transfer::done;
        } else {
            transfer.data += part;
        }
    }

    // The whole value of `property`, deleted as it is read (which tells an incremental owner to go on).
    QByteArray takeProperty(xcb_atom_t property)
    {
        const auto reply = owned(xcb_get_property_reply(
            conn, xcb_get_property(conn, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4), nullptr));
        if (!reply)
            return {};
        return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                          xcb_get_property_value_length(reply.get()));
    }

    qint64 byteLimit;
    xcb_connection_t *conn = nullptr;
    xcb_window_t window = XCB_WINDOW_NONE;
    xcb_atom_t clipboard = XCB_ATOM_NONE, targets = XCB_ATOM_NONE, incr = XCB_ATOM_NONE;
};

// The bytes as text/plain holds them: UTF-8 without the terminating NUL some owners of the old string types add.
QByteArray plainText(const Transfer &transfer)
{
    QByteArray text = transfer.data;
    if (transfer.textSource < 0 || QLatin1String(textSources[transfer.textSource]) == QLatin1String("text/plain"))
        return text;
    if (text.endsWith('\0'))
        text.chop(1);
    if (transfer.textSource >= 2) // STRING and TEXT carry Latin-1
        text = QString::fromLatin1(text).toUtf8();
    return text;
}

} // namespace

ClipboardSnapshot read(const QByteArray &display, std::chrono::milliseconds timeLimit, qint64 byteLimit)
{
    const Clock::time_point deadline = Clock::now() + timeLimit;
    Reader reader(display, byteLimit);
    if (!reader.connected()) {
        Log::write("ERROR", "X11Clipboard: no connection to the X server to read the clipboard");
        return {};
    }
    if (!reader.hasOwner())
        return {};
    const auto offered = reader.targetList(deadline);
    if (!offered)
        return {{}, {}, {QStringLiteral("TARGETS")}};
    std::vector<Transfer> list = reader.contentTypes(*offered);
    reader.transfer(list, deadline);

    ClipboardSnapshot snapshot;
    ClipboardItem item;
    for (const Transfer &transfer : list) {
        if (transfer.tooLarge >= 0)
            snapshot.tooLarge.append({transfer.type, transfer.tooLarge});
        else if (transfer.state != Transfer::done)
            snapshot.late.append(transfer.type);
        else if (!transfer.data.isEmpty()) // an empty type holds nothing to restore
            item.append({transfer.type, plainText(transfer)});
    }
    if (!item.isEmpty())
        snapshot.items.append(item);
    return snapshot;
}

} // namespace X11ClipboardReader
