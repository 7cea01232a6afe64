#pragma once

#include "platform/Clipboard.h"

#include <QObject>

#include <map>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

// The Wayland clipboard through the data-control protocol (wlroots desktops, KDE Plasma), which reads and sets
// it without a focused window, every type of it.
class WaylandClipboard : public QObject, public Clipboard
{
public:
    // Whether the compositor offers data control; without it the clipboard is reached through XWayland.
    static bool available();
    WaylandClipboard();
    ~WaylandClipboard() override;

    qint64 changeCount() const override;
    void clear() override;
    bool setText(const QString &text, bool transient) override;
    QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const override;
    bool write(const QList<ClipboardItem> &items) override;

    // Called by the protocol's listeners.
    void offered(zwlr_data_control_offer_v1 *offer, const char *type);
    void selected(zwlr_data_control_offer_v1 *offer);
    void send(zwlr_data_control_source_v1 *source, const char *type, int fd);
    void cancelled(zwlr_data_control_source_v1 *source);
    void finished();

private:
    bool select(zwlr_data_control_source_v1 *source);

    zwlr_data_control_manager_v1 *manager = nullptr;
    zwlr_data_control_device_v1 *device = nullptr;
    zwlr_data_control_offer_v1 *current = nullptr; // the clipboard's contents, null when empty
    std::map<zwlr_data_control_offer_v1 *, QStringList> offerTypes;
    zwlr_data_control_source_v1 *own = nullptr; // what this program put on the clipboard, while it is there
    ClipboardItem served;
    qint64 changes = 0;
};
