#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

#include "core/progressmodel.h"
#include "library/activesession.h"
#include "library/root.h"
#include "library/session.h"
#include "library/sortkeycache.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"
#include "support/eventloopturns.h"
#include "support/filetree.h"
#include "support/heldmount.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"
#include "support/testresolver.h"

using ostra::test::TestResolver;

namespace {

constexpr int kWaitMs = 15000;

void touch(const QString& path)
{
    QVERIFY2(ostra::test::writeTreeFile(path), qPrintable(path));
}

QUrl url(const QString& path)
{
    return QUrl::fromLocalFile(path);
}

// One offer or close, as the user gave it.
struct Operation
{
    QString path;
    bool folder;
    bool recursive;
    bool opens;
};

// The session's meaning, stated plainly: a file is in the session when the newest
// operation that decides it opens it. An opened folder decides the pictures in it (and
// below, when recursive), a closed folder everything in it; a named file decides itself.
bool decides(const Operation& op, const QString& file)
{
    if (!op.folder)
        return op.path == file;
    const QString parent = QFileInfo(file).path();
    const bool inside = parent == op.path || (op.recursive && file.startsWith(op.path + '/'));
    if (!inside)
        return false;
    return !op.opens || file.endsWith(QLatin1String(".vrx"), Qt::CaseInsensitive);
}

QSet<QUrl> expectedFiles(const QList<Operation>& ops, const QStringList& files)
{
    QSet<QUrl> admitted;
    for (const QString& file : files) {
        for (int i = ops.size() - 1; i >= 0; --i) {
            if (decides(ops.at(i), file)) {
                if (ops.at(i).opens)
                    admitted.insert(url(file));
                break;
            }
        }
    }
    return admitted;
}

// Every file gets its headers as soon as it is asked about.
void answerAtOnce(TestResolver& resolver)
{
    resolver.setRowMaker([](const QUrl& u) {
        return TestResolver::imageRow(u, QDateTime(QDate(2024, 1, 1), QTime(1, 0)), 0);
    });
}

// The session's folders are read off the GUI thread: waits until every read is in.
bool settled(const Session& session)
{
    return QTest::qWaitFor([&] { return !session.isReading(); }, kWaitMs);
}

QSet<QUrl> rowsOf(const SpineModel& model)
{
    const QList<QUrl> list = model.list();
    return QSet<QUrl>(list.begin(), list.end());
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ostra::test::TempTree> m_tree;

    QString path(const QString& relative) const { return m_tree->path(relative); }
    void touchAll(std::initializer_list<const char*> relative) const
    {
        for (const char* r : relative)
            touch(path(r));
    }

    static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

private slots:
    void init()
    {
        m_tree = std::make_unique<ostra::test::TempTree>();
        QVERIFY(m_tree->isValid());
    }

    void cleanup()
    {
        flushDeletes();
        m_tree.reset();
    }

    void closingASubfolderKeepsBothRoots()
    {
        touchAll({ "a/x.vrx", "a/sub/y.vrx" });
        Session session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        session.setActive(true);
        session.offer(url(path("a")), true);
        QVERIFY(settled(session));
        QCOMPARE(session.files(), (QSet<QUrl> { url(path("a/x.vrx")), url(path("a/sub/y.vrx")) }));

        QSignalSpy removed(&session, &Session::delFile);
        session.close(url(path("a/sub")), true);
        QVERIFY(settled(session));
        QCOMPARE(session.rowCount(), 2);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.first().first().toUrl(), url(path("a/sub/y.vrx")));
        QCOMPARE(session.files(), QSet<QUrl> { url(path("a/x.vrx")) });

        // Later files in the closed folder stay out; those beside it come in.
        QSignalSpy added(&session, &Session::addFile);
        touchAll({ "a/sub/z.vrx", "a/w.vrx" });
        QTRY_VERIFY_WITH_TIMEOUT(session.files().contains(url(path("a/w.vrx"))), kWaitMs);
        for (const auto& args : qAsConst(added))
            QVERIFY(args.first().toUrl() != url(path("a/sub/z.vrx")));
        QVERIFY(!session.files().contains(url(path("a/sub/z.vrx"))));
        QVERIFY(session.data(session.index(0), Session::InclusiveRole).toBool());
        QVERIFY(!session.data(session.index(1), Session::InclusiveRole).toBool());
        QCOMPARE(session.data(session.index(1), Session::DirPathRole).toString(), path("a/sub"));
    }

    // A Root taken out of the list stops watching at once, before it is deleted.
    void removedRootsStopWatching()
    {
        touch(path("a/x.vrx"));
        Session session;
        session.setActive(true);
        session.offer(url(path("a")), false);
        QVERIFY(settled(session));
        QPointer<Root> root = session.findChild<Root*>();
        QVERIFY(root && root->active());
        QVERIFY(session.removeRows(0, 1));
        QVERIFY(root && !root->active());
    }

    void rootRulesKeepTheListShort()
    {
        touchAll({ "a/a.vrx", "a/b.vrx", "c/c.vrx" });
        Session session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        session.setActive(true);

        // Closing what nobody opened leaves nothing.
        session.close(url(path("c")), true);
        QVERIFY(settled(session));
        QVERIFY(session.isEmpty());

        // The same folder twice: the later Root only.
        session.offer(url(path("c")), true);
        QVERIFY(settled(session));
        Root* first = session.roots().value(0);
        session.offer(url(path("c")), true);
        QVERIFY(settled(session));
        QCOMPARE(session.rowCount(), 1);
        QVERIFY(session.roots().first() != first);
        flushDeletes();
        QVERIFY(settled(session));

        // Two files of one folder: one Root naming both.
        session.offer(url(path("a/a.vrx")), false);
        session.offer(url(path("a/b.vrx")), false);
        QVERIFY(settled(session));
        QCOMPARE(session.rowCount(), 2);
        const QModelIndex named = session.index(1);
        QCOMPARE(session.data(named, Session::FileCountRole).toInt(), 2);
        QVERIFY(session.data(named, Session::FixedListRole).toBool());
        // The preview is read off this thread when first asked for; dataChanged tells.
        qRegisterMetaType<QVector<int>>();
        QSignalSpy previewed(&session, &Session::dataChanged);
        session.data(named, Session::PreviewRole);
        QTRY_COMPARE_WITH_TIMEOUT(
            session.data(named, Session::PreviewRole).toStringList().size(), 2, kWaitMs);
        QVERIFY(std::any_of(previewed.cbegin(), previewed.cend(), [&](const QList<QVariant>& args) {
            return args.at(0).toModelIndex() == named
                && args.at(2).value<QVector<int>>().contains(Session::PreviewRole);
        }));
        QVERIFY(settled(session));

        // Closing one of them cancels the name (the closing Root stays, it overlaps an
        // opening one); closing the other empties the opening Root, and the closing one,
        // now closing nothing open, goes too.
        session.close(url(path("a/a.vrx")), false);
        QVERIFY(settled(session));
        QCOMPARE(session.rowCount(), 3);
        QVERIFY(!session.files().contains(url(path("a/a.vrx"))));
        QCOMPARE(session.data(named, Session::FileNamesRole).toStringList(), QStringList { "b.vrx" });
        session.close(url(path("a/b.vrx")), false);
        QVERIFY(settled(session));
        QCOMPARE(session.rowCount(), 1);
        QCOMPARE(session.files(), QSet<QUrl> { url(path("c/c.vrx")) });

        QVERIFY(!session.data(session.index(session.rowCount()), Qt::DisplayRole).isValid());
        QVERIFY(!session.data(session.index(0, 0), Qt::UserRole + 100).isValid());

        // Removing Roots by rows does not withdraw files.
        QVERIFY(session.removeRows(0, 5));
        QVERIFY(session.isEmpty());
        QCOMPARE(session.files(), QSet<QUrl> { url(path("c/c.vrx")) });
        QVERIFY(!session.removeRows(0, 1));
    }

    // Switching the gallery to another session closes the files only the first one held;
    // files deleted while a session was inactive go when it is active again.
    void switchingSources()
    {
        touchAll({ "s1/a.vrx", "s1/b.vrx", "s1/sub/gone.vrx", "s2/c.vrx" });
        Session one;
        Session two;
        one.offer(url(path("s1")), true);
        two.offer(url(path("s1/a.vrx")), false);
        two.offer(url(path("s2")), false);
        TestResolver resolver;
        answerAtOnce(resolver);
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        QAbstractItemModelTester tester(&gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester outlineTester(
            gallery.outlineModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        gallery.setSortField(QStringLiteral("filePath"));
        gallery.setSource(&one);
        QVERIFY(one.active());
        QVERIFY(settled(one));
        QCOMPARE(gallery.rowCount(), 3);
        // A section proxy per folder, as the view keeps them, and the whole first session
        // selected.
        std::vector<std::unique_ptr<SpineSection>> sections;
        std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
        QVariantList sub;
        for (int row = 0; row < gallery.rowCount(); ++row) {
            if (gallery.urlAt(row) == url(path("s1/sub/gone.vrx")))
                sub = gallery.branchOfRow(row);
            if (row > 0 && gallery.branchOfRow(row) == gallery.branchOfRow(row - 1))
                continue;
            sections.push_back(std::make_unique<SpineSection>());
            sections.back()->setSource(&gallery);
            sections.back()->setBranch(gallery.branchOfRow(row));
            testers.push_back(std::make_unique<QAbstractItemModelTester>(
                sections.back().get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
        }
        QCOMPARE(sections.size(), size_t(2));
        // The rows as a view sees them: only through the proxies' signals.
        std::vector<int> seen;
        for (size_t i = 0; i < sections.size(); ++i) {
            SpineSection* section = sections[i].get();
            seen.push_back(section->rowCount());
            connect(section, &QAbstractItemModel::rowsInserted, this,
                [&seen, i](const QModelIndex&, int first, int last) { seen[i] += last - first + 1; });
            connect(section, &QAbstractItemModel::rowsRemoved, this,
                [&seen, i](const QModelIndex&, int first, int last) { seen[i] -= last - first + 1; });
            connect(section, &QAbstractItemModel::modelReset, this,
                [&seen, i, section] { seen[i] = section->rowCount(); });
        }
        QVERIFY(gallery.outlineModel()->indexOf(sub) >= 0);
        gallery.selectAll();
        QCOMPARE(gallery.selectionSize(), 3);

        QSignalSpy closed(&gallery, &SpineModel::fileClosed);
        gallery.setSource(&two);
        QVERIFY(!one.active());
        QVERIFY(two.active());
        QVERIFY(settled(two));
        QCOMPARE(closed.count(), 2);
        QCOMPARE(rowsOf(gallery), (QSet<QUrl> { url(path("s1/a.vrx")), url(path("s2/c.vrx")) }));
        QCOMPARE(gallery.indexProgress()->progress(), ProgressRatio(2, 2));
        // Nothing of the first session stays selected, and its folders that the second one
        // has no files in are no sections any more; the proxies show the second session.
        QCOMPARE(gallery.selectionSize(), 0);
        QVERIFY(!gallery.selectionModel()->hasSelection());
        QCOMPARE(gallery.outlineModel()->indexOf(sub), -1);
        QCOMPARE(sections[0]->files(), QList<QUrl> { url(path("s1/a.vrx")) });
        QCOMPARE(sections[0]->rowCount(), 1);
        QCOMPARE(sections[1]->rowCount(), 0);
        QCOMPARE(seen, (std::vector<int> { 1, 0 }));
        for (int row = 0; row < gallery.rowCount(); ++row)
            QVERIFY(gallery.outlineModel()->indexOf(gallery.branchOfRow(row)) >= 0);

        QCOMPARE(one.files().size(), 3);
        QVERIFY(QFile::remove(path("s1/b.vrx")));
        QVERIFY(QDir(path("s1/sub")).removeRecursively());
        touch(path("s1/new.vrx"));
        QSignalSpy removed(&one, &Session::delFile);
        gallery.setSource(&one);
        QVERIFY(settled(one));
        QCOMPARE(removed.count(), 2);
        QCOMPARE(one.files(), (QSet<QUrl> { url(path("s1/a.vrx")), url(path("s1/new.vrx")) }));
        QCOMPARE(rowsOf(gallery), one.files());
        QCOMPARE(gallery.grossCount(), 2);
    }

    // The gallery turns to a session whose folder is on a drive that hangs: the event loop
    // turns while the folder's first listing is held. The session switched away, the
    // folder closed or its row removed meanwhile, the late listing is dropped: none of its
    // files reach the session or the gallery, and a Root that went is deleted.
    void stoppedWhileAListingIsHeld_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("session switched") << 0;
        QTest::newRow("folder closed") << 1;
        QTest::newRow("row removed") << 2;
    }

    void stoppedWhileAListingIsHeld()
    {
        QFETCH(int, how);
        touchAll({ "held/a.vrx", "held/sub/b.vrx", "free/c.vrx" });
        Session one;
        one.offer(url(path("held")), true);
        Session two;
        two.offer(url(path("free")), true);
        QVERIFY(settled(one));
        QVERIFY(settled(two));
        ostra::test::HeldOpens drive(path("held"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        TestResolver resolver;
        answerAtOnce(resolver);
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        QAbstractItemModelTester tester(&gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester sessionTester(&one, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QPointer<Root> root = one.roots().value(0);
        QVERIFY(root);

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        gallery.setSource(&one);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(one.isReading());
        QCOMPARE(gallery.rowCount(), 0);
        if (how == 0)
            gallery.setSource(&two);
        else if (how == 1)
            one.close(url(path("held")), true);
        else
            QVERIFY(one.removeRows(0, 1));
        QVERIFY(watchdog.end());
        const int passed = drive.passed();
        drive.open();
        QTRY_VERIFY_WITH_TIMEOUT(drive.passed() > passed, kWaitMs);
        if (how == 0) {
            // A listing asked of the Root now comes after the held one on its thread.
            QSignalSpy listed(root.data(), &Root::listed);
            root->requestList();
            QTRY_COMPARE_WITH_TIMEOUT(listed.count(), 1, kWaitMs);
            QVERIFY(settled(two));
            QCOMPARE(rowsOf(gallery), QSet<QUrl> { url(path("free/c.vrx")) });
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(root.isNull(), kWaitMs);
            QVERIFY(one.isEmpty());
            QCOMPARE(gallery.rowCount(), 0);
        }
        QVERIFY(one.files().isEmpty());
        QVERIFY(!one.isReading());

        // Shown again, the session reads its folder anew.
        if (how == 0) {
            gallery.setSource(&one);
            QVERIFY(settled(one));
            QCOMPARE(rowsOf(gallery), (QSet<QUrl> { url(path("held/a.vrx")), url(path("held/sub/b.vrx")) }));
        }
    }

    // Opening or closing a folder on a drive that hangs: what the folder is, and where it
    // leads, is asked off the GUI thread, which turns meanwhile; the session is not empty
    // and has no Root yet. Once the drive answers, the Roots come in the order they were
    // asked for: a folder closed before its opening was checked stays closed, and one
    // asked for after waits its turn. A session that goes meanwhile does not wait.
    void addingARootAsksTheDiskOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("opened") << 0;
        QTest::newRow("opened then closed") << 1;
        QTest::newRow("opened, another folder after") << 2;
        QTest::newRow("session deleted") << 3;
    }

    void addingARootAsksTheDiskOffTheGuiThread()
    {
        QFETCH(int, how);
        touchAll({ "held/a.vrx", "held/sub/b.vrx", "free/c.vrx" });
        ostra::test::HeldOpens drive(path("held"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        auto session = std::make_unique<Session>();
        new QAbstractItemModelTester(
            session.get(), QAbstractItemModelTester::FailureReportingMode::QtTest, session.get());
        session->setActive(true);
        QSignalSpy added(session.get(), &Session::addFile);
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        session->offer(url(path("held")), true);
        if (how == 1)
            session->close(url(path("held")), true);
        if (how == 2)
            session->offer(url(path("free")), false);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(session->rowCount(), 0);
        QVERIFY(!session->isEmpty());
        QVERIFY(session->isReading());
        if (how == 3) {
            QPointer<Session> gone(session.get());
            session.reset();
            QVERIFY(gone.isNull());
        }
        QVERIFY(watchdog.end());
        drive.open();
        if (!session) {
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() == 0, kWaitMs);
            QCoreApplication::sendPostedEvents();
            return;
        }
        QVERIFY(settled(*session));
        const QSet<QUrl> held = { url(path("held/a.vrx")), url(path("held/sub/b.vrx")) };
        if (how == 0) {
            QCOMPARE(session->rowCount(), 1);
            QCOMPARE(session->files(), held);
        } else if (how == 1) {
            QVERIFY(session->isEmpty());
            QVERIFY(session->files().isEmpty());
            QCOMPARE(added.count(), 0);
        } else {
            QCOMPARE(session->rowCount(), 2);
            QCOMPARE(session->data(session->index(0), Session::DirPathRole).toString(), path("held"));
            QCOMPARE(session->data(session->index(1), Session::DirPathRole).toString(), path("free"));
            QCOMPARE(session->files(), held + QSet<QUrl> { url(path("free/c.vrx")) });
        }
    }

    // A Root reports a file gone that the session may still admit through another Root: whether
    // it is still there is asked off the GUI thread, which turns while a drive that hangs holds
    // the answer. The answer decides as the disk stood when it was read: a file reported back
    // meanwhile stays, and a second report asks again and is told once.
    void aFileReportedGoneIsLookedForOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("still there") << 0;
        QTest::newRow("gone") << 1;
        QTest::newRow("gone, reported back meanwhile") << 2;
        QTest::newRow("gone, reported gone twice") << 3;
    }

    void aFileReportedGoneIsLookedForOffTheGuiThread()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(path("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        touch(ns + "/disk/a.vrx");
        touch(ns + "/disk/b.vrx");
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString a = ns + "/mnt/a.vrx";
        Session session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        session.setActive(true);
        session.offer(url(ns + "/mnt"), false);
        QVERIFY(settled(session));
        QCOMPARE(session.files(), (QSet<QUrl> { url(a), url(ns + "/mnt/b.vrx") }));
        QSignalSpy gone(&session, &Session::delFile);
        if (how != 0)
            QVERIFY(QFile::remove(ns + "/disk/a.vrx"));

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        session.delRawFile(a);
        if (how == 3)
            session.delRawFile(a);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(session.isReading());
        QVERIFY(session.files().contains(url(a)));
        if (how == 2) {
            touch(ns + "/disk/a.vrx");
            session.addRawFile(a);
        }
        QVERIFY(watchdog.end());
        drive.open();
        QVERIFY(settled(session));
        const bool stays = how == 0 || how == 2;
        QCOMPARE(session.files().contains(url(a)), stays);
        QCOMPARE(gone.count(), stays ? 0 : 1);
        QVERIFY(session.files().contains(url(ns + "/mnt/b.vrx")));
    }

    // Closing a folder of many files takes them out of the file set at once, and tells the
    // gallery a slice at a time so that the GUI thread turns in between; the folder
    // offered again before all is told, the gallery ends with every file once.
    void closingALargeFolderTellsInSlices()
    {
        const int count = 3 * Root::kAnnounceSlice + 5;
        QSet<QUrl> all;
        for (int i = 0; i < count; ++i) {
            const QString file = path(QString("big/IMG_%1.vrx").arg(i, 5, 10, QChar('0')));
            QVERIFY(ostra::test::writeTreeFile(file, QByteArray()));
            all.insert(url(file));
        }
        Session session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        TestResolver resolver;
        answerAtOnce(resolver);
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        gallery.setSource(&session);
        session.offer(url(path("big")), true);
        QVERIFY(settled(session));
        QCOMPARE(rowsOf(gallery), all);

        // A tick once in every pass over the posted events, as each slice is.
        int sinceTurn = 0, most = 0, told = 0;
        bool emptyWhenQueued = false;
        connect(&session, &Session::delFile, this, [&] {
            // The first announcement queued for a later turn: every file is out by then.
            if (++told == Root::kAnnounceSlice + 1)
                emptyWhenQueued = session.files().isEmpty();
            most = qMax(most, ++sinceTurn);
        });
        bool ticking = true;
        std::function<void()> tick = [&] {
            sinceTurn = 0;
            if (ticking)
                QMetaObject::invokeMethod(this, tick, Qt::QueuedConnection);
        };
        tick();
        QSignalSpy batch(&session, &Session::delFiles);
        session.close(url(path("big")), true);
        QVERIFY(settled(session));
        // Told all at once first, to a listener that takes them so.
        QCOMPARE(batch.count(), 1);
        const QList<QUrl> batched = batch.first().first().value<QList<QUrl>>();
        QCOMPARE(QSet<QUrl>(batched.begin(), batched.end()), all);
        QCOMPARE(told, count);
        QVERIFY(emptyWhenQueued);
        QVERIFY(session.files().isEmpty());
        QCOMPARE(gallery.rowCount(), 0);
        QVERIFY2(most <= Root::kAnnounceSlice, qPrintable(QString::number(most)));
        ticking = false;

        session.close(url(path("big")), true); // nothing open: nothing to tell
        session.offer(url(path("big")), true);
        QVERIFY(settled(session));
        session.close(url(path("big")), true);
        session.offer(url(path("big")), true);
        QVERIFY(settled(session));
        QCOMPARE(session.files(), all);
        QCOMPARE(rowsOf(gallery), all);
    }

    // The sections a session's files leave behind go with the session when the gallery
    // turns to another one: switching among sessions of ever new folders keeps the outline
    // to the sections of the session shown.
    void switchingKeepsOnlyTheShownSections()
    {
        const int count = 12;
        QList<std::shared_ptr<Session>> sessions;
        for (int i = 0; i < count; ++i) {
            const QString folder = QString("w%1/day%2").arg(i % 3).arg(i);
            for (const char* name : { "/a.vrx", "/b.vrx", "/sub/c.vrx" })
                touch(path(folder + name));
            sessions.append(std::make_shared<Session>());
            sessions.last()->offer(url(path(folder)), true);
        }
        TestResolver resolver;
        answerAtOnce(resolver);
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        gallery.setSortField(QStringLiteral("filePath"));
        QAbstractItemModelTester galleryTester(
            &gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester outlineTester(
            gallery.outlineModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        gallery.setSource(sessions.first().get());
        QVERIFY(settled(*sessions.first()));
        const int shown = gallery.outlineModel()->rowCount();
        QVERIFY(shown >= 2);
        SortKeyCache* keys = SortKeyCache::of(&resolver);
        for (int round = 0; round < 2; ++round) {
            for (const auto& session : qAsConst(sessions)) {
                gallery.setSource(session.get());
                QVERIFY(settled(*session));
                QCOMPARE(gallery.rowCount(), 3);
                // The folders of this session's files, no more.
                QCOMPARE(gallery.outlineModel()->rowCount(), shown);
                // The sort keys of this session's files, no more.
                QCOMPARE(keys->size(), 3);
                // Sorted again with the keys that stay, the files keep their order.
                gallery.setSortField(QStringLiteral("timestamp"));
                gallery.setSortField(QStringLiteral("filePath"));
                QCOMPARE(rowsOf(gallery), session->files());
                QVERIFY(std::is_sorted(gallery.list().begin(), gallery.list().end(),
                    [](const QUrl& a, const QUrl& b) { return a.toString() < b.toString(); }));
            }
        }
        // Within a session a section that loses its last file keeps its place.
        QVERIFY(gallery.removeRows(gallery.rowCount() - 1, 1));
        QCOMPARE(gallery.outlineModel()->rowCount(), shown);
        gallery.setSource(nullptr);
        QCOMPARE(gallery.outlineModel()->rowCount(), 0);
    }

    // A switch closes exactly the files the new session does not offer, once each, and
    // takes their sort keys with them; the files both sessions offer keep theirs. A switch
    // to a session that offers nothing closes them all.
    void switchingClosesTheFilesThatGo()
    {
        touchAll({ "both/a.vrx", "both/b.vrx", "first/c.vrx", "first/d.vrx", "second/e.vrx" });
        Session first;
        first.offer(url(path("both")), true);
        first.offer(url(path("first")), true);
        Session second;
        second.offer(url(path("both")), true);
        second.offer(url(path("second")), true);
        Session empty;
        TestResolver resolver;
        answerAtOnce(resolver);
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        gallery.setSortField(QStringLiteral("timestamp"));
        QAbstractItemModelTester tester(&gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        SortKeyCache* keys = SortKeyCache::of(&resolver);
        QSignalSpy closed(&gallery, &SpineModel::fileClosed);
        const auto closedFiles = [&closed] {
            QList<QUrl> files;
            for (const auto& args : qAsConst(closed))
                files.append(args.first().toUrl());
            closed.clear();
            std::sort(files.begin(), files.end());
            return files;
        };

        gallery.setSource(&first);
        QVERIFY(settled(first));
        QCOMPARE(rowsOf(gallery), first.files());
        QCOMPARE(keys->size(), 4);
        QVERIFY(closedFiles().isEmpty());

        gallery.setSource(&second);
        QVERIFY(settled(second));
        QCOMPARE(rowsOf(gallery), second.files());
        QCOMPARE(closedFiles(), (QList<QUrl> { url(path("first/c.vrx")), url(path("first/d.vrx")) }));
        QCOMPARE(keys->size(), 3);
        // A file both sessions offer is placed by its key as before.
        QCOMPARE(gallery.rowCount(), 3);
        for (const QUrl& file : second.files())
            QVERIFY(gallery.locateUrl(file).first >= 0);

        gallery.setSource(&empty);
        QCOMPARE(gallery.rowCount(), 0);
        QCOMPARE(gallery.grossCount(), 0);
        QList<QUrl> all = second.files().values();
        std::sort(all.begin(), all.end());
        QCOMPARE(closedFiles(), all);
        QCOMPARE(keys->size(), 0);

        gallery.setSource(&first);
        QVERIFY(settled(first));
        QCOMPARE(rowsOf(gallery), first.files());
        QCOMPARE(keys->size(), 4);
        gallery.setSource(nullptr);
        QCOMPARE(closedFiles().size(), 4);
        QCOMPARE(keys->size(), 0);
    }

    // The keys that go are found whether the URLs given are copies of the ones the keys
    // were filed under or were built apart from them, a few of many or most of them.
    void sortKeysGoByAnyCopyOfTheirUrl_data()
    {
        QTest::addColumn<int>("going");
        QTest::addColumn<bool>("apart");
        QTest::newRow("most, copies") << 30 << false;
        QTest::newRow("most, built apart") << 30 << true;
        QTest::newRow("all, mixed") << 40 << true;
        QTest::newRow("a few, copies") << 3 << false;
        QTest::newRow("a few, built apart") << 3 << true;
    }

    void sortKeysGoByAnyCopyOfTheirUrl()
    {
        QFETCH(int, going);
        QFETCH(bool, apart);
        TestResolver resolver;
        answerAtOnce(resolver);
        SortKeyCache* keys = SortKeyCache::of(&resolver);
        QList<QUrl> files;
        for (int i = 0; i < 40; ++i) {
            files.append(url(QStringLiteral("/k/%1.vrx").arg(i)));
            keys->key(files.last());
        }
        QCOMPARE(keys->size(), 40);
        QSet<QUrl> gone;
        for (int i = 0; i < going; ++i) {
            // Every other one built apart: its own value, equal to the key's.
            const bool own = apart && (going < 40 || i % 2 == 0);
            gone.insert(own ? QUrl(files.at(i).toString()) : files.at(i));
        }
        gone.insert(url("/k/never-seen.vrx"));
        keys->forget(gone);
        QCOMPARE(keys->size(), 40 - going);
        // The keys that stay still answer, through any copy; the ones that went are read anew.
        for (const QUrl& file : qAsConst(files))
            resolver.setRowSilently(
                file, TestResolver::imageRow(file, QDateTime(QDate(2024, 2, 2), QTime(2, 0)), 0));
        for (int i = 0; i < 40; ++i) {
            const FileKey& key = keys->key(QUrl(files.at(i).toString()));
            QCOMPARE(key.url, files.at(i).toString());
            QCOMPARE(key.day, i < going ? 2 : 1);
        }
    }

    void newestDecidingOperationWins_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed = 1; seed <= 40; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }

    void newestDecidingOperationWins()
    {
        QFETCH(quint32, seed);
        const QStringList relative = { "a.vrx", "B.VRX", "notes.txt", "odd [1] #%.vrx", "s1/c.vrx",
            "s1/d.vrx", "s1/t/e.vrx", "s1/t/ü f.vrx", "s2/g h.vrx", "s2/i.vrx" };
        QStringList files;
        for (const QString& rel : relative) {
            files.append(path("r/" + rel));
            touch(files.last());
        }
        const QStringList folders = { path("r"), path("r/s1"), path("r/s1/t"), path("r/s2") };

        TestResolver resolver;
        resolver.setRowMaker([](const QUrl& u) {
            return TestResolver::imageRow(
                u, QDateTime(QDate(2024, 5, 1), QTime(9, 0)), int(qHash(u.toString()) % 5));
        });
        Session session;
        ActiveSession gallery;
        gallery.setResolver(&resolver);
        gallery.setSortField(QStringLiteral("filePath"));
        QAbstractItemModelTester sessionTester(
            &session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester galleryTester(
            &gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        gallery.setSource(&session);

        QRandomGenerator random(seed);
        QList<Operation> ops;
        for (int step = 0; step < 30; ++step) {
            Operation op;
            op.opens = random.bounded(3) != 0;
            op.folder = random.bounded(2) == 0;
            const QStringList& pool = op.folder ? folders : files;
            op.path = pool.at(int(random.bounded(pool.size())));
            op.recursive = random.bounded(2) == 0; // ignored for files
            ops.append(op);
            if (op.opens)
                session.offer(url(op.path), op.recursive);
            else
                session.close(url(op.path), op.recursive);
            if (random.bounded(6) == 0) {
                // Pausing the session changes nothing it holds.
                session.setActive(false);
                session.setActive(true);
            }
            flushDeletes();
            QVERIFY(settled(session));

            const QSet<QUrl> expected = expectedFiles(ops, files);
            if (session.files() != expected) {
                QStringList wrong;
                for (const QUrl& u : expected - session.files())
                    wrong << "missing " + u.toLocalFile();
                for (const QUrl& u : session.files() - expected)
                    wrong << "extra " + u.toLocalFile();
                QFAIL(qPrintable(QStringLiteral("step %1: %2").arg(step).arg(wrong.join(", "))));
            }
            QCOMPARE(gallery.grossCount(), expected.size());
            QCOMPARE(rowsOf(gallery), expected);
            // Never more Roots than operations, and no Root that decides nothing.
            QVERIFY(session.rowCount() <= ops.size());
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestSession)
#include "tst_session.moc"
