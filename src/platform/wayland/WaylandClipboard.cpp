#include "platform/wayland/WaylandClipboard.h"

#include "platform/Log.h"
#include "platform/wayland/WaylandConnection.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <wayland-client.h>
#include <wlr-data-control-unstable-v1.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

using namespace std::chrono;

namespace {

// Clipboard managers leave contents with this type (and the value "secret") out of their history.
constexpr auto managerHint = "x-kde-passwordManagerHint";

WaylandClipboard *of(void *data)
{
    return static_cast<WaylandClipboard *>(data);
}

const zwlr_data_control_offer_v1_listener offerListener{
    [](void *data, zwlr_data_control_offer_v1 *offer, const char *type) { of(data)->offered(offer, type); }};

// A device outlives its clipboard object (see the destructor): without one, each offer is let go as it comes.
const zwlr_data_control_device_v1_listener deviceListener{
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        if (!data)
            return;
        zwlr_data_control_offer_v1_add_listener(offer, &offerListener, data);
        of(data)->offered(offer, nullptr);
    },
    [](void *data, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        if (data)
            of(data)->selected(offer);
        else if (offer)
            zwlr_data_control_offer_v1_destroy(offer);
    },
    [](void *data, zwlr_data_control_device_v1 *device) {
        if (data)
            of(data)->finished();
        else
            zwlr_data_control_device_v1_destroy(device);
    },
    [](void *, zwlr_data_control_device_v1 *, zwlr_data_control_offer_v1 *offer) {
        if (offer) // the primary selection, which this program leaves alone (only offered from version 2 on)
            zwlr_data_control_offer_v1_destroy(offer);
    }};

const zwlr_data_control_source_v1_listener sourceListener{
    [](void *data, zwlr_data_control_source_v1 *source, const char *type, int32_t fd) {
        of(data)->send(source, type, fd);
    },
    [](void *data, zwlr_data_control_source_v1 *source) { of(data)->cancelled(source); }};

// Reads every pipe to its end, each up to `byteLimit` bytes, until `timeLimit` is up; the pipes are closed.
ClipboardSnapshot readAll(const QStringList &types, QList<int> fds, milliseconds timeLimit, qint64 byteLimit)
{
    ClipboardSnapshot result;
    QList<QByteArray> contents(types.size());
    QList<bool> done(types.size(), false);
    const auto deadline = steady_clock::now() + timeLimit;
    for (qsizetype open = fds.size(); open > 0;) {
        QList<pollfd> polled;
        QList<qsizetype> index;
        for (qsizetype i = 0; i < fds.size(); ++i) {
            if (!done[i])
                polled.append({fds[i], POLLIN, 0}), index.append(i);
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || ::poll(polled.data(), polled.size(), static_cast<int>(left)) <= 0)
            break;
        for (qsizetype p = 0; p < polled.size(); ++p) {
            if (!polled[p].revents)
                continue;
            const qsizetype i = index[p];
            char buffer[65536];
            const ssize_t got = ::read(fds[i], buffer, sizeof buffer);
            if (got > 0)
                contents[i].append(buffer, got);
            if (got > 0 && contents[i].size() <= byteLimit)
                continue;
            if (got < 0 && errno == EINTR)
                continue;
            if (contents[i].size() > byteLimit)
                result.tooLarge.append({types[i], contents[i].size()}), contents[i].clear();
            done[i] = true, --open;
        }
    }
    ClipboardItem item;
    for (qsizetype i = 0; i < types.size(); ++i) {
        ::close(fds[i]);
        if (!done[i])
            result.late.append(types[i]);
        else if (!contents[i].isEmpty())
            item.append({types[i], contents[i]});
    }
    if (!item.isEmpty())
        result.items.append(item);
    return result;
}

// Hands `bytes` to a reader, giving up when it takes no more for a few seconds; the pipe is closed.
void writeAll(int fd, const QByteArray &bytes)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (qsizetype written = 0; written < bytes.size();) {
        pollfd polled{fd, POLLOUT, 0};
        if (::poll(&polled, 1, 5000) <= 0)
            break;
        const ssize_t put = ::write(fd, bytes.constData() + written, bytes.size() - written);
        if (put < 0 && errno != EINTR && errno != EAGAIN)
            break;
        written += std::max<ssize_t>(put, 0);
    }
    ::close(fd);
}

} // namespace

bool WaylandClipboard::available()
{
    WaylandConnection *wayland = WaylandConnection::instance();
    return wayland && wayland->seat() && wayland->offers(zwlr_data_control_manager_v1_interface.name);
}

WaylandClipboard::WaylandClipboard()
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (wayland)
        manager =
            static_cast<zwlr_data_control_manager_v1 *>(wayland->bind(&zwlr_data_control_manager_v1_interface, 1));
    if (!manager || !wayland->seat())
        return;
    device = zwlr_data_control_manager_v1_get_data_device(manager, wayland->seat());
    zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
    wayland->roundtrip(); // the current contents arrive now
}

WaylandClipboard::~WaylandClipboard()
{
    if (!WaylandConnection::instance())
        return;
    if (own)
        zwlr_data_control_source_v1_destroy(own);
    for (const auto &[offer, types] : offerTypes)
        zwlr_data_control_offer_v1_destroy(offer);
    // Destroying the device while the compositor may still be announcing an offer (a new object) breaks the
    // connection: libwayland cannot account for objects made by events to a destroyed proxy. The device stays,
    // without us, until the program ends.
    if (device)
        wl_proxy_set_user_data(reinterpret_cast<wl_proxy *>(device), nullptr);
    if (manager)
        zwlr_data_control_manager_v1_destroy(manager);
}

qint64 WaylandClipboard::changeCount() const
{
    // Another program's copy of a moment ago counts too: the compositor's news first.
    if (WaylandConnection *wayland = WaylandConnection::instance())
        wayland->roundtrip();
    return changes;
}

void WaylandClipboard::offered(zwlr_data_control_offer_v1 *offer, const char *type)
{
    QStringList &types = offerTypes[offer];
    if (type && !types.contains(QString::fromUtf8(type)))
        types.append(QString::fromUtf8(type));
}

void WaylandClipboard::selected(zwlr_data_control_offer_v1 *offer)
{
    if (current && current != offer) {
        zwlr_data_control_offer_v1_destroy(current);
        offerTypes.erase(current);
    }
    current = offer;
    ++changes;
}

void WaylandClipboard::send(zwlr_data_control_source_v1 *source, const char *type, int fd)
{
    const QString wanted = QString::fromUtf8(type);
    const auto found =
        std::find_if(served.begin(), served.end(), [&](const auto &entry) { return entry.first == wanted; });
    if (source != own || found == served.end()) {
        ::close(fd);
        return;
    }
    // A large type must not hold up the event loop while the reader takes it in.
    [[maybe_unused]] QFuture<void> writing = QtConcurrent::run([fd, bytes = found->second] { writeAll(fd, bytes); });
}

void WaylandClipboard::cancelled(zwlr_data_control_source_v1 *source)
{
    if (source == own)
        own = nullptr, served.clear();
    zwlr_data_control_source_v1_destroy(source);
}

void WaylandClipboard::finished()
{
    Log::error(QStringLiteral("Wayland: the compositor withdrew clipboard access"));
    zwlr_data_control_device_v1_destroy(device);
    device = nullptr;
}

void WaylandClipboard::clear()
{
    select(nullptr);
}

bool WaylandClipboard::setText(const QString &text, bool transient)
{
    const QByteArray utf8 = text.toUtf8();
    ClipboardItem item{{QStringLiteral("text/plain;charset=utf-8"), utf8},
                       {QStringLiteral("text/plain"), utf8},
                       {QStringLiteral("UTF8_STRING"), utf8},
                       {QStringLiteral("TEXT"), utf8},
                       {QStringLiteral("STRING"), utf8}};
    if (transient)
        item.append({QString::fromLatin1(managerHint), QByteArrayLiteral("secret")});
    return write({item});
}

bool WaylandClipboard::write(const QList<ClipboardItem> &items)
{
    if (!device || !manager || !WaylandConnection::instance())
        return false;
    // Wayland has a single item: formats of further items join it unless an earlier item has them already.
    ClipboardItem merged;
    for (const ClipboardItem &item : items) {
        for (const auto &[type, bytes] : item) {
            if (std::none_of(merged.begin(), merged.end(), [&](const auto &entry) { return entry.first == type; }))
                merged.append({type, bytes});
        }
    }
    if (merged.isEmpty())
        return select(nullptr);
    zwlr_data_control_source_v1 *source = zwlr_data_control_manager_v1_create_data_source(manager);
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
    for (const auto &[type, bytes] : merged)
        zwlr_data_control_source_v1_offer(source, type.toUtf8().constData());
    served = merged;
    return select(source);
}

bool WaylandClipboard::select(zwlr_data_control_source_v1 *source)
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (!device || !wayland)
        return false;
    if (own && own != source)
        zwlr_data_control_source_v1_destroy(own);
    own = source;
    if (!source)
        served.clear();
    zwlr_data_control_device_v1_set_selection(device, source);
    // The compositor announces the new contents back: once it has, the change is counted and the source holds.
    return wayland->roundtrip() && own == source;
}

QCoro::Task<ClipboardSnapshot> WaylandClipboard::snapshot(milliseconds timeLimit, qint64 byteLimit) const
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (!current || !wayland)
        co_return ClipboardSnapshot{};
    const QStringList types = offerTypes.count(current) ? offerTypes.at(current) : QStringList();
    QList<int> fds;
    for (const QString &type : types) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            Log::error(QStringLiteral("Wayland: no pipe for the clipboard"));
            break;
        }
        zwlr_data_control_offer_v1_receive(current, type.toUtf8().constData(), ends[1]);
        ::close(ends[1]); // the request holds a copy of it until sent
        fds.append(ends[0]);
    }
    wayland->flush();
    const QStringList asked = types.mid(0, fds.size());
    QFuture<ClipboardSnapshot> reading =
        QtConcurrent::run([asked, fds, timeLimit, byteLimit] { return readAll(asked, fds, timeLimit, byteLimit); });
    co_return co_await reading;
}
