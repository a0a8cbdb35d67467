#pragma once

#include <QAbstractItemModel>
#include <QUuid>
#include <QVector>

#include <functional>

class RecipeRouter;

// One row per import session of the router: row 0 holds the files queued without a
// session, newer sessions follow it. The router drives the rows.
class PipelineModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum Role {
        SessUuid = Qt::UserRole + 1, // the session UUID
        IsClient, // the session is not the null one
        CommRoot, // URL of the folder common to every target (the root when none)
        RootName, // last component of that folder, or ""
        DateTime, // when the session began, or completed once it has
        FilesOut, // targets done
        FilesAll, // targets
        ItemsOut, // raw targets completed
        ItemsAll, // raw targets
        BytesOut, // bytes done
        BytesAll, // bytes in total
        IsActive, // the session may run
        IsDelete, // imported files are freed at the source
        IsCancel, // the session was dismissed
        ErrFlags, // its errors; while unfinished with the blocks of its channels and volumes
        Roles, // end of the range
    };
    Q_ENUM(Role)

    explicit PipelineModel(RecipeRouter* router, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Driven by the router.
    void insertSession(const std::function<void()>& insert);
    void removeSession(int row, const std::function<void()>& remove);
    void refresh(int row, const QVector<int>& roles);
    void refreshAll();
    // Every row for the given roles (none: all of them).
    void refreshAll(const QVector<int>& roles);

private:
    RecipeRouter* m_router;
    QHash<int, QByteArray> m_roleNames;
    const QVector<int> m_defaultRoles { IsActive, ErrFlags };
};
