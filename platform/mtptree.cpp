#include "platform/mtptree.h"

#include "platform/logging.h"

QString MtpTree::deviceId(uint16_t vendor, uint16_t product, const QString& serial)
{
    return QStringLiteral("mtp:%1:%2:%3")
        .arg(vendor, 4, 16, QLatin1Char('0'))
        .arg(product, 4, 16, QLatin1Char('0'))
        .arg(serial);
}

bool MtpTree::parseDeviceId(const QString& id, uint16_t* vendor, uint16_t* product, QString* serial)
{
    const QStringList parts = id.split(QLatin1Char(':'));
    if (parts.size() < 4 || parts[0] != QLatin1String("mtp") || parts[1].size() != 4 || parts[2].size() != 4)
        return false;
    bool okVendor = false, okProduct = false;
    *vendor = uint16_t(parts[1].toUShort(&okVendor, 16));
    *product = uint16_t(parts[2].toUShort(&okProduct, 16));
    *serial = parts.mid(3).join(QLatin1Char(':'));
    return okVendor && okProduct;
}

QString MtpTree::storageId(uint32_t id)
{
    return QStringLiteral("s%1").arg(id, 8, 16, QLatin1Char('0'));
}

QString MtpTree::objectId(uint32_t id)
{
    return QStringLiteral("o%1").arg(id, 8, 16, QLatin1Char('0'));
}

bool MtpTree::parseObjectId(const QString& id, bool* storage, uint32_t* value)
{
    if (id.size() != 9 || (id[0] != QLatin1Char('s') && id[0] != QLatin1Char('o')))
        return false;
    bool ok = false;
    *value = id.midRef(1).toUInt(&ok, 16);
    *storage = id[0] == QLatin1Char('s');
    return ok;
}

DeviceObject MtpTree::objectOf(const LIBMTP_file_t& file)
{
    DeviceObject object;
    object.id = objectId(file.item_id);
    object.name = QString::fromUtf8(file.filename ? file.filename : "");
    object.originalFileName = object.name;
    object.folder = file.filetype == LIBMTP_FILETYPE_FOLDER;
    object.sizeKnown = !object.folder;
    object.size = object.folder ? 0 : qint64(std::min<uint64_t>(file.filesize, uint64_t(INT64_MAX)));
    if (!object.folder && file.modificationdate > 0)
        object.modified = QDateTime::fromSecsSinceEpoch(qint64(file.modificationdate), Qt::UTC);
    return object;
}

DeviceObject MtpTree::objectOf(const LIBMTP_devicestorage_t& storage)
{
    DeviceObject object;
    object.id = storageId(storage.id);
    object.name = QString::fromUtf8(storage.StorageDescription ? storage.StorageDescription
            : storage.VolumeIdentifier                         ? storage.VolumeIdentifier
                                                               : "");
    object.folder = true;
    return object;
}

void MtpTree::clear()
{
    m_walked.clear();
    m_objects.clear();
    m_children.clear();
    m_listed.clear();
}

void MtpTree::addStorages(const LIBMTP_devicestorage_t* list)
{
    QStringList ids;
    for (const LIBMTP_devicestorage_t* s = list; s; s = s->next) {
        const DeviceObject object = objectOf(*s);
        m_objects.insert(object.id, object);
        ids << object.id;
    }
    const QString root = QLatin1String(PortableDevice::kRootId);
    m_children.insert(root, ids);
    m_listed.insert(root);
}

void MtpTree::addListing(const QString& parent, const LIBMTP_file_t* list)
{
    QStringList ids;
    for (const LIBMTP_file_t* f = list; f; f = f->next) {
        const DeviceObject object = objectOf(*f);
        m_objects.insert(object.id, object);
        ids << object.id;
    }
    m_children.insert(parent, ids);
    m_listed.insert(parent);
}

QString MtpTree::parentOf(const LIBMTP_file_t& file)
{
    return file.parent_id == 0 ? storageId(file.storage_id) : objectId(file.parent_id);
}

void MtpTree::addObject(const LIBMTP_file_t& file)
{
    const DeviceObject object = objectOf(file);
    m_objects.insert(object.id, object);
    QStringList& siblings = m_children[parentOf(file)];
    if (!siblings.contains(object.id))
        siblings << object.id;
}

void MtpTree::removeObject(const QString& id)
{
    m_objects.remove(id);
    for (QStringList& list : m_children)
        list.removeAll(id);
    m_children.remove(id);
    m_listed.remove(id);
}

bool MtpTree::object(const QString& id, DeviceObject* object) const
{
    const auto it = m_objects.constFind(id);
    if (it == m_objects.constEnd())
        return false;
    *object = *it;
    return true;
}

QList<uint32_t> MtpTree::foldersToWalk(const LIBMTP_file_t* list, int depth, int maxDepth)
{
    QList<uint32_t> folders;
    for (const LIBMTP_file_t* f = list; f; f = f->next) {
        if (f->filetype != LIBMTP_FILETYPE_FOLDER)
            continue;
        if (m_walked.contains(f->item_id)) {
            qCWarning(lcPlatform) << "MTP folder listed again, a cycle in the device's tree:"
                                  << objectId(f->item_id);
            continue;
        }
        m_walked.insert(f->item_id);
        if (depth + 1 > maxDepth) {
            qCWarning(lcPlatform) << "MTP folder nested deeper than" << maxDepth
                                  << "levels, not listed:" << objectId(f->item_id);
            continue;
        }
        folders << f->item_id;
    }
    return folders;
}
