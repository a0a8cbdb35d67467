#pragma once

#include "engine/imageclient.h"
#include "engine/vrxmessage.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <vector>

// Brings render output from the engine's threads to the router's own thread as Qt
// signals and hands it to every registered listener there.
class ImageRouter : public QObject
{
    Q_OBJECT
public:
    explicit ImageRouter(QObject* parent = nullptr);
    // Every listener still registered is told with routerDetached(this).
    ~ImageRouter() override;

    // A client is held at most once. A client with an object is dropped automatically
    // when that object is destroyed.
    void addListener(ImageClient* client);
    void removeListener(ImageClient* client);
    // Empties the table first, then calls routerDetached(this) once on every former
    // listener.
    void clearListeners();
    int listenerCount() const;
    // Whether some listener shows the output now (ImageClient::showsOutput).
    bool isShown() const;
    bool hasListener(ImageClient* client) const;

    // Who this router is (0 for a plain router).
    virtual void kind(int& kind) const;
    virtual void onListenerCountChanged(int count);

signals:
    // May be emitted from any thread; delivered in the router's thread.
    void notifyImageOutputSignal(VrxMessage message);
    void notifyFileInvalidSignal(QUrl location);

public slots:
    virtual void onImageOutputSlot(VrxMessage message);
    virtual void onFileInvalidSlot(QUrl location);
    void listenerDestroyed(QObject* object);

protected:
    // Calls imageOutput on every listener (over a copy of the table, skipping any that
    // went away during the broadcast).
    void sendOutput(const VrxMessage& message);
    void sendInvalid(const QUrl& location);
    // Detaches every listener; used by clearListeners and the destructor.
    void detachAll();

private:
    struct Entry
    {
        ImageClient* client;
        QPointer<QObject> object;
        bool hasObject;
    };
    std::vector<Entry> snapshot() const;
    bool stillRegistered(const Entry& entry) const;

    mutable QMutex m_mutex;
    struct Listener
    {
        QPointer<QObject> object;
        bool hasObject;
    };
    QHash<ImageClient*, Listener> m_listeners;
};
