#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include "engine/iresolver.h"
#include "library/iordering.h"
#include "library/ordering.h"
#include "library/sectiontree.h"

class Agnostic;
class SpineOutline;
class SpineSection;

// The gallery's list of files. Every URL offered joins the gross set; a file becomes a
// row once its resolver gives it headers, at the place its ordering gives. Header changes
// re-place the row (modified, then resolved). GUI thread only.
class SpineModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(IResolver* resolver READ resolver WRITE setResolver NOTIFY resolverChanged)
    Q_PROPERTY(IOrdering* ordering READ ordering WRITE setOrdering NOTIFY orderingChanged)
    Q_PROPERTY(QStringList fileList READ fileList WRITE setFileList NOTIFY grossCountChanged)
    Q_PROPERTY(int grossCount READ grossCount NOTIFY grossCountChanged)
    Q_PROPERTY(QModelIndex invalidIndex READ invalidIndex CONSTANT)
    Q_PROPERTY(SpineOutline* outlineModel READ outlineModel CONSTANT)
public:
    explicit SpineModel(QObject* parent = nullptr);
    ~SpineModel() override;

    IResolver* resolver() const;
    void setResolver(IResolver* resolver);
    IOrdering* ordering() const { return m_ordering; }
    void setOrdering(IOrdering* ordering);
    QStringList fileList() const;
    void setFileList(const QStringList& list);
    int grossCount() const { return m_gross.size(); }
    QModelIndex invalidIndex() const { return QModelIndex(); }
    SpineOutline* outlineModel() const { return m_outline; }
    // The section tree of the listed files.
    const SectionTree& sections() const { return m_tree; }
    // Section proxies get the section signals of their own branch only, called directly:
    // with a thousand sections, a signal to all of them per file would dominate.
    void attachSection(SpineSection* section, const QVariantList& branch);
    void detachSection(SpineSection* section, const QVariantList& branch);

    bool isOffered(const QUrl& url) const { return m_gross.contains(url); }
    bool isListed(const QUrl& url) const { return m_listed.contains(url); }
    // The listed files in row order.
    const QList<QUrl>& list() const { return m_list; }

    Q_INVOKABLE bool forgetUrl(const QUrl& url);
    Q_INVOKABLE bool forgetRows(int row, int count);
    Q_INVOKABLE void forgetUrlAt(int row);
    Q_INVOKABLE void forgetUrlAt(int row, const QVariantList& keys);
    Q_INVOKABLE void enlistUrlAt(int row, const QUrl& url);
    Q_INVOKABLE void enlistUrlAt(int row, const QUrl& url, const QVariantList& keys);
    QPair<int, int> locateUrl(const QUrl& url);
    Q_INVOKABLE QModelIndex defaultIndex(bool last = false) const;
    Q_INVOKABLE QModelIndex lastRowIndex() const;
    Q_INVOKABLE QVariantList branchOfRow(int row);
    Q_INVOKABLE QList<QUrl> files(int first, int count) const;
    Q_INVOKABLE QUrl urlAt(const QModelIndex& index) const;
    Q_INVOKABLE QUrl urlAt(int row) const;
    // The value of the named role (as roleNames() names it) in a row; invalid when there is none.
    Q_INVOKABLE QVariant valueAt(int row, const QByteArray& roleName) const;

    // The file's headers (empty out of range).
    QMap<int, QVariant> itemData(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

public slots:
    void insertUrl(const QUrl& url);
    void reloadUrl(const QUrl& url);
    void enlistUrl(const QUrl& url);
    void removeUrl(const QUrl& url);
    // removeUrl for each URL; many rows of the list going at once (a folder closed) go in
    // one pass over the list, announced as one reset.
    void removeUrls(const QList<QUrl>& urls);
    void recallUrl(const QUrl& url);
    void updateUrl(const QUrl& url);

signals:
    void grossCountChanged();
    void fileClosed(const QUrl& url);
    void resolverChanged();
    void orderingChanged();
    // Around every file entering or leaving a section, for each prefix of its key path:
    // `alertSections` before (offset: the row inside the prefix's section; count +1 or -1;
    // leaf: the prefix is the whole path), `commitSections` after; `touchSections` when a
    // file's headers change without moving it.
    void alertSections(const QVariantList& keys, int offset, int count, bool leaf);
    void touchSections(const QVariantList& keys, int offset, int count, bool leaf);
    void commitSections(const QVariantList& keys, int count, bool leaf);
    // Sections' first rows moved; sent once per turn of the event loop.
    void sectionBasesMoved();

protected:
    // Fewer rows than this going at once go one by one.
    static constexpr int kBatchRemoval = 64;
    // The row that holds the URL, or -1: the ordering's search, then a plain search when
    // the ordering misses (the file's headers changed behind the model's back).
    int rowOf(const QUrl& url);
    // Removes every row and every section (the rows announced as a reset) and empties the
    // offered set without announcing the files; returns the offered set as it was.
    QSet<QUrl> takeAll();
    // Lets go of the URLs on a pool thread: freeing a hundred thousand of them held the
    // window for tens of milliseconds.
    static void freeLater(QSet<QUrl> urls);
    static void freeLater(QList<QUrl> urls);

private:
    void connectResolver(IResolver* resolver);
    // The installed resolver; the model's own empty one when none is (or it was destroyed).
    IResolver* headers() const;
    void insertListed(int row, const QUrl& url);
    void removeListedAt(int row);
    void removeListed(const QUrl& url);
    int placeWithout(int row, const QUrl& url);
    // Sorts the list by the ordering and builds the section tree afresh.
    void resortInSections();
    // `sections` (when given) receives the sorted list's sections, for rebuildSections.
    void resort(std::vector<Ordering::Section>* sections = nullptr);
    void rebuildSections(const std::vector<Ordering::Section>* sections = nullptr);
    void announceSections(const QVariantList& keys, int row, int count);
    void commitAll(const QVariantList& keys, int count);
    template <typename Call> void dispatch(const QVariantList& path, Call call);

    QSet<QUrl> m_gross;
    QList<QUrl> m_list;
    QSet<QUrl> m_listed;
    Agnostic* m_agnostic;
    QPointer<IResolver> m_resolver;
    Ordering* m_defaultOrdering;
    IOrdering* m_ordering;
    QMetaObject::Connection m_modifiedConnection;
    QMetaObject::Connection m_resolvedConnection;
    QMetaObject::Connection m_destroyedConnection;
    // Between `modified` and `resolved`: the file and the row it had.
    QUrl m_recalledUrl;
    int m_recalledRow = -1;
    QVariantList m_recalledKeys;
    SectionTree m_tree;
    SpineOutline* m_outline;
    // Set while a row moves between sections: the move is announced as one.
    bool m_quiet = false;
    QHash<QString, QList<SpineSection*>> m_sectionsByPath;
    bool m_basesPending = false;
};
