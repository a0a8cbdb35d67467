#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <memory>
#include <utility>

#include "core/leavableworker.h"
#include "engine/iresolver.h"
#include "library/isession.h"
#include "library/root.h"

class ReplyTarget;

// The folders and files opened in the gallery: an ordered list of Roots (one row each),
// kept short by the Roots' rules. Every path a Root reports is vetted against the whole
// list, the newest Root that decides winning, and the admitted files form the file set,
// announced with addFile/delFile. GUI thread only; the disk is asked off it (where an
// opened or closed location leads, by the session; the folders' contents, by the Roots and
// by the session for the files that went while it was inactive), so the Roots and the file
// set fill in as those answers come in.
class Session : public QAbstractListModel, public ISession
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
    Q_PROPERTY(QStringList globbing READ globbing WRITE setGlobbing NOTIFY globbingChanged)
    Q_PROPERTY(IResolver* resolver READ resolver WRITE setResolver NOTIFY resolverChanged)
    // Folders are still being read: told when a location is asked for and when every read
    // is in (a folder read again after a change on the disk is not told).
    Q_PROPERTY(bool reading READ isReading NOTIFY readingChanged)
public:
    enum Roles {
        FolderRole = Qt::UserRole + 1, // "folder": the folder as a local-file URL
        RecursiveRole, // "recursive": subfolders are included
        OcclusiveRole, // "occlusive": takes every matching file of its folder
        InclusiveRole, // "inclusive": opens (true) or closes (false)
        FixedListRole, // "fixedList": a Root of named files
        FileNamesRole, // "fileNames": its patterns or names
        FileCountRole, // "fileCount": number of patterns or names
        NeedsMetaRole, // "needsMeta": would need file headers to decide
        DirNameRole, // "dirName": the folder's base name
        DirPathRole, // "dirPath": the folder's absolute path
        PreviewRole // "preview": up to three file URLs of the Root
    };
    Q_ENUM(Roles)

    explicit Session(QObject* parent = nullptr);
    ~Session() override;

    // ISession
    Q_INVOKABLE void reset() override;
    Q_INVOKABLE void offer(QUrl location, bool recursive) override;
    Q_INVOKABLE void close(QUrl location, bool recursive) override;
    Q_INVOKABLE void impose(QUrl location, bool recursive, QJsonDocument condition) override;

    // No Root, and none on its way.
    Q_INVOKABLE bool isEmpty() const { return m_roots.isEmpty() && m_pending.empty(); }
    Q_INVOKABLE void compact();

    bool active() const { return m_active; }
    QStringList globbing() const { return m_globbing; }
    void setGlobbing(const QStringList& globbing);
    IResolver* resolver() const { return m_resolver; }
    void setResolver(IResolver* resolver);

    // The admitted files.
    const QSet<QUrl>& files() const { return m_files; }
    const QList<Root*>& roots() const { return m_roots; }
    // True when the newest Root that decides the path opens it.
    bool admits(const QString& path) const;
    // The same for a path a Root reported as a file, without asking the disk.
    bool admitsFile(const QString& path) const;
    // Folders are still being read for this session.
    bool isReading() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

public slots:
    void setActive(bool on);
    void addRawFile(const QString& path);
    void delRawFile(const QString& path);

signals:
    void activeChanged(bool active);
    void globbingChanged();
    void resolverChanged();
    void addFile(QUrl location);
    void delFile(QUrl location);
    // Files a closed folder took out of the set, all at once, before their delFile
    // announcements (which follow a slice to a turn of the event loop).
    void delFiles(const QList<QUrl>& locations);
    // Every read under way for the session is in (isReading() turned false).
    void settled();
    void readingChanged();

private:
    // A Root asked for: what the disk says of its location is found off this thread, and
    // the Roots are added in the order they were asked for as those answers come in.
    struct PendingRoot
    {
        quint64 serial = 0;
        bool impose = false;
        bool inclusive = false;
        bool recursive = false;
        QString path;
        QStringList globbing; // the session's, when asked for
        bool checked = false;
        Root::Location location;
    };
    void addRoot(const QUrl& location, bool recursive, bool inclusive, bool impose = false);
    void addChecked();
    // Takes out of the file set, off this thread, the files a closing Root removes.
    void vetLater(const Root& root);
    void removeVetted(const QList<QUrl>& gone, quint64 generation);
    // The canonical path of the folder holding a file, as the Roots last read it.
    QString canonicalDirOf(const QString& path) const;
    void insertRoot(Root* root);
    void appendRoot(Root* root);
    void removeRootAt(int row);
    void reactivate();
    void dropVanishedFiles();
    // Asks off this thread whether the files reported gone that another Root may still
    // admit are still on the disk, and takes out of the set those that are not.
    void checkGone();
    void removeGone(const QList<QPair<QUrl, quint64>>& asked, const QList<bool>& present);
    // Lists the files the Root admits off this thread, and offers them when they are in.
    void listLater(const Root& root);
    // Offers the listed files from `from` on, a slice to a turn of the event loop.
    void admitListed(quint64 started, std::shared_ptr<const QStringList> paths, int from);
    void onPreviewChanged();
    void tellIfSettled();
    // Announces a change of the file set, at once or, past a slice in one turn, queued.
    void announce(bool added, const QUrl& url);
    void announceSlice();

    QList<Root*> m_roots;
    QSet<QUrl> m_files;
    QStringList m_globbing { QStringLiteral("*.vrx") };
    QPointer<IResolver> m_resolver;
    bool m_active = false;
    // The check for files that went while the session was inactive: its serial number (0
    // when none runs), and the files reported since it began, which it must not remove.
    quint64 m_vanishCheck = 0;
    // Listings under way, and the serial number of the session's start they belong to.
    int m_listings = 0;
    quint64 m_started = 0;
    quint64 m_vanishSerial = 0;
    QSet<QUrl> m_reportedSince;
    // Files reported gone whose presence is being asked, by the serial number of the
    // latest ask (a report that the file is there drops its entry), those not sent to the
    // worker yet, and whether a batch is under way.
    QHash<QUrl, quint64> m_goneAsked;
    quint64 m_goneSerial = 0;
    QList<QUrl> m_goneQueue;
    bool m_goneRunning = false;
    // Announcements not made yet (true: added), and whether a slice of them is due.
    // A run of removals a closed folder made shares their list.
    struct Announcement
    {
        bool added = false;
        QUrl url;
        std::shared_ptr<const QList<QUrl>> removed;
        int next = 0;
    };
    std::deque<Announcement> m_announce;
    bool m_slicePosted = false;
    // Announcements still made at once in this turn of the event loop.
    int m_inlineLeft;
    bool m_budgetPosted = false;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_checker;
    std::deque<PendingRoot> m_pending;
    quint64 m_pendingSerial = 0;
    LeavableWorker m_locator;
    // Vettings under way, and a serial number of the changes of the list of Roots.
    int m_vettings = 0;
    quint64 m_rootsGeneration = 0;
    LeavableWorker m_vetter;
};

Q_DECLARE_METATYPE(Session*)
