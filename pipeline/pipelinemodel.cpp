#include "pipeline/pipelinemodel.h"

#include <QDir>
#include <QMetaEnum>
#include <QUrl>

#include "pipeline/reciperouter.h"

PipelineModel::PipelineModel(RecipeRouter* router, QObject* parent)
    : QAbstractItemModel(parent)
    , m_router(router)
{
    const QMetaEnum roles = QMetaEnum::fromType<Role>();
    for (int i = 0; i < roles.keyCount(); ++i) {
        const int value = roles.value(i);
        if (value < SessUuid || value >= Roles)
            continue;
        QByteArray name = roles.key(i);
        name[0] = char(QChar::toLower(ushort(name[0])));
        m_roleNames.insert(value, name);
    }
}

int PipelineModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_router->m_sessions.size();
}

int PipelineModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QModelIndex PipelineModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || column != 0 || row < 0 || row >= m_router->m_sessions.size())
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex PipelineModel::parent(const QModelIndex&) const
{
    return QModelIndex();
}

QVariant PipelineModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.row() >= m_router->m_sessions.size()
        || role < SessUuid || role >= Roles)
        return QVariant();
    const QUuid session = m_router->m_sessions.at(index.row());
    static const TransferSequence none;
    const TransferSequence* found = m_router->findSequence(session);
    const TransferSequence& seq = found ? *found : none;
    switch (Role(role)) {
    case SessUuid:
        return session;
    case IsClient:
        return !session.isNull();
    case CommRoot:
        return seq.path.isEmpty() ? QUrl::fromLocalFile(QDir::rootPath())
                                  : QUrl::fromLocalFile(seq.path.join(QLatin1Char('/')));
    case RootName:
        return seq.path.isEmpty() ? QString() : seq.path.last();
    case DateTime:
        return seq.created.toLocalTime();
    case FilesOut:
        return int(seq.done.size());
    case FilesAll:
        return int(seq.all.size());
    case ItemsOut:
        return int(seq.toVerify.size());
    case ItemsAll:
        return int(seq.raw.size());
    case BytesOut:
        return m_router->footprint(session)->elapsed();
    case BytesAll:
        return m_router->footprint(session)->estimated();
    case IsActive:
        return seq.active;
    case IsDelete:
        return seq.free;
    case IsCancel:
        return seq.cancelled;
    case ErrFlags: {
        int flags = seq.err;
        if (!seq.finished()) {
            for (const IOChannel& channel : seq.channels)
                flags |= m_router->m_channels.value(channel).mask;
            for (const Volume& volume : seq.volumes)
                flags |= m_router->m_volumes.value(volume).mask;
        }
        return flags;
    }
    case Roles:
        break;
    }
    return QVariant();
}

QHash<int, QByteArray> PipelineModel::roleNames() const
{
    return m_roleNames;
}

void PipelineModel::insertSession(const std::function<void()>& insert)
{
    beginInsertRows(QModelIndex(), 1, 1);
    insert();
    endInsertRows();
}

void PipelineModel::removeSession(int row, const std::function<void()>& remove)
{
    beginRemoveRows(QModelIndex(), row, row);
    remove();
    endRemoveRows();
}

void PipelineModel::refresh(int row, const QVector<int>& roles)
{
    if (row < 0 || row >= rowCount())
        return;
    const QModelIndex at = index(row, 0);
    emit dataChanged(at, at, roles);
}

void PipelineModel::refreshAll()
{
    refreshAll(m_defaultRoles);
}

void PipelineModel::refreshAll(const QVector<int>& roles)
{
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), roles);
}
