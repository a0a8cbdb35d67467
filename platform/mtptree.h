#pragma once

#include "platform/portabledevice.h"

#include <QHash>
#include <QSet>

#include <libmtp.h>

// How MTP devices and objects appear in the portable-device layer: a device is
// "mtp:VID:PID:serial" (VID and PID in four lower-case hex digits), storages are "s" and
// objects "o" followed by their 32-bit id in eight hex digits, the storages are the
// children of "DEVICE", and an object's name is its MTP file name. The tree is filled as
// folders are listed.
class MtpTree
{
public:
    static QString deviceId(uint16_t vendor, uint16_t product, const QString& serial);
    static bool parseDeviceId(const QString& id, uint16_t* vendor, uint16_t* product, QString* serial);
    static QString storageId(uint32_t id);
    static QString objectId(uint32_t id);
    // False for an id that names no storage or object; `*storage` tells which it names.
    static bool parseObjectId(const QString& id, bool* storage, uint32_t* value);
    static DeviceObject objectOf(const LIBMTP_file_t& file);
    static DeviceObject objectOf(const LIBMTP_devicestorage_t& storage);

    void clear();
    void addStorages(const LIBMTP_devicestorage_t* list);
    // Enters a listing of `parent`'s children (a linked list, which stays the caller's).
    void addListing(const QString& parent, const LIBMTP_file_t* list);
    // Enters one object that appeared under its parent.
    void addObject(const LIBMTP_file_t& file);
    void removeObject(const QString& id);
    static QString parentOf(const LIBMTP_file_t& file);
    bool isListed(const QString& parent) const { return m_listed.contains(parent); }
    QStringList children(const QString& parent) const { return m_children.value(parent); }
    bool object(const QString& id, DeviceObject* object) const;
    // The folders of a listing still to be listed, the listing's parent being at `depth`:
    // each folder once however often the device lists it (a folder listed as its own
    // descendant would be listed for ever), and none deeper than `maxDepth`. Logs what it
    // leaves out.
    QList<uint32_t> foldersToWalk(const LIBMTP_file_t* list, int depth, int maxDepth);

private:
    QSet<uint32_t> m_walked;
    QHash<QString, DeviceObject> m_objects;
    QHash<QString, QStringList> m_children;
    QSet<QString> m_listed;
};
