#pragma once

#include <QString>
#include <QUrl>
#include <qcorotask.h>

// The key held now and the cloud recogniser's base address (without /v1/…) it belongs to,
// taken together so that a key is never sent to an address from another version of them.
struct CloudAccess
{
    QString key; // empty when there is none
    QUrl serviceUrl;
};

// Holds and issues the per-device key for the cloud recogniser, and the recogniser's
// address. The dictation controller asks for the key before every cloud recognition.
class CloudKeyProvider
{
public:
    virtual ~CloudKeyProvider() = default;

    virtual CloudAccess current() const = 0;
    // Obtains a key; true when one is held afterwards.
    virtual QCoro::Task<bool> fetch() = 0;
    // True when the last fetch failed because the service could not be reached.
    virtual bool unreachable() const = 0;
};

// The key and address in cloud.json in the support folder, {"URL": "…", "Key": "…"}, a
// file the user edits by hand and that only its owner may read. Read afresh on every
// call, so an edited key is used at the next dictation. Never logs the key.
class CloudKeyFile : public CloudKeyProvider
{
public:
    CloudAccess current() const override;
    // Re-reads the file and logs what it found. A missing file is created as a template
    // (empty key, default address) so the user finds where the key goes; a file others
    // may read is restricted to its owner.
    QCoro::Task<bool> fetch() override;
    // The key never comes over the network, so a fetch never fails for lack of one.
    bool unreachable() const override { return false; }

    static QString path();
    static QUrl defaultServiceUrl();
};
