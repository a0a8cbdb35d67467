#include "support/testmain.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <memory>

#include "app/windowframe.h"

// A menu item's object: counts the calls of "triggered".
class Target : public QObject
{
    Q_OBJECT
public:
    int count = 0;
public slots:
    void triggered() { ++count; }
};

class TestWindowFrame : public QObject
{
    Q_OBJECT
private:
    using Model = WindowMenuModel;

    static QModelIndex find(
        const QAbstractItemModel* model, const QString& title, const QModelIndex& parent = {})
    {
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex at = model->index(row, 0, parent);
            if (at.data(Model::TitleRole).toString() == title)
                return at;
            const QModelIndex below = find(model, title, at);
            if (below.isValid())
                return below;
        }
        return {};
    }

    // File: open (Ctrl+O), separator, Recent > (again: open, greyed), exit; Edit: select all.
    static void build(WindowFrame& frame, Target& open, Target& exit, Target& selectAll)
    {
        frame.startMenu();
        frame.pushItem();
        frame.addItem(&open, QStringLiteral("Open"), QStringLiteral("Ctrl+O"), true);
        frame.addSeparator();
        frame.pushItem();
        frame.addItem(&open, QStringLiteral("Open again"), QString(), false);
        frame.popItem(QStringLiteral("Recent"));
        frame.addItem(&exit, QStringLiteral("Exit"), QStringLiteral("Ctrl+Q"), true);
        frame.popItem(QStringLiteral("File"));
        frame.pushItem();
        frame.addItem(&selectAll, QStringLiteral("Select all"), QStringLiteral("Ctrl+A"), true);
        frame.popItem(QStringLiteral("Edit"));
    }

private slots:
    void barIsBuiltInOrderWithSubMenusUnderTheirTitle()
    {
        WindowFrame frame;
        QAbstractItemModelTester tester(
            frame.menuModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Target open, exit, selectAll;
        build(frame, open, exit, selectAll);
        // Nothing is shown before the bar is closed.
        QCOMPARE(frame.menuModel()->rowCount(), 0);
        QSignalSpy reset(frame.menuModel(), &QAbstractItemModel::modelReset);
        frame.closeMenu();
        QCOMPARE(reset.count(), 1);

        const QAbstractItemModel* model = frame.menuModel();
        QCOMPARE(model->rowCount(), 2);
        const QModelIndex file = model->index(0, 0);
        QCOMPARE(file.data(Model::TitleRole).toString(), QStringLiteral("File"));
        QCOMPARE(model->index(1, 0).data(Model::TitleRole).toString(), QStringLiteral("Edit"));
        QCOMPARE(model->rowCount(file), 4);
        QCOMPARE(model->index(0, 0, file).data(Model::TextRole).toString(), QStringLiteral("Open\tCtrl+O"));
        QCOMPARE(model->index(1, 0, file).data(Model::KindRole).toInt(), int(WindowMenuNode::Separator));
        const QModelIndex recent = model->index(2, 0, file);
        QCOMPARE(recent.data(Model::TitleRole).toString(), QStringLiteral("Recent"));
        QCOMPARE(model->rowCount(recent), 1);
        const QModelIndex again = model->index(0, 0, recent);
        QCOMPARE(again.data(Model::TextRole).toString(), QStringLiteral("Open again"));
        QCOMPARE(again.parent(), recent);
        QCOMPARE(recent.parent(), file);
        // Ids follow the order of the addItem calls across menus.
        QCOMPARE(again.data(Model::CommandIdRole).toInt(), 2);
        QCOMPARE(model->index(3, 0, file).data(Model::CommandIdRole).toInt(), 3);
        QCOMPARE(find(model, QStringLiteral("Select all")).data(Model::CommandIdRole).toInt(), 4);
        QCOMPARE(frame.itemCount(), 4);
    }

    void commandIds_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<bool>("handled");
        QTest::addColumn<int>("opens");
        QTest::addColumn<int>("exits");
        QTest::newRow("zero") << 0 << false << 0 << 0;
        QTest::newRow("negative") << -1 << false << 0 << 0;
        QTest::newRow("first") << 1 << true << 1 << 0;
        QTest::newRow("greyed") << 2 << false << 0 << 0;
        QTest::newRow("in sub-menu's parent") << 3 << true << 0 << 1;
        QTest::newRow("last") << 4 << true << 0 << 0;
        QTest::newRow("above the table") << 5 << false << 0 << 0;
        QTest::newRow("not attached yet") << 1 << false << 0 << 0;
    }

    void commandIds()
    {
        QFETCH(int, id);
        QFETCH(bool, handled);
        QFETCH(int, opens);
        QFETCH(int, exits);
        WindowFrame frame;
        Target open, exit, selectAll;
        build(frame, open, exit, selectAll);
        if (QByteArray(QTest::currentDataTag()) != "not attached yet")
            frame.closeMenu();
        QCOMPARE(frame.triggerCommand(id), handled);
        QCOMPARE(open.count, opens);
        QCOMPARE(exit.count, exits);
        QCOMPARE(selectAll.count, id == 4 ? 1 : 0);
    }

    void itemsOfOneObjectChangeTogetherOnlyOnceAttached()
    {
        WindowFrame frame;
        QAbstractItemModelTester tester(
            frame.menuModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Target open, exit, selectAll;
        build(frame, open, exit, selectAll);
        // Before the bar is attached the call does nothing, and the items keep their states.
        frame.setEnabled(&open, false);
        frame.setEnabled(&selectAll, false);
        frame.closeMenu();
        const QAbstractItemModel* model = frame.menuModel();
        auto enabled = [&](const char* title) {
            return find(model, QLatin1String(title)).data(Model::EnabledRole).toBool();
        };
        QVERIFY(enabled("Open"));
        QVERIFY(!enabled("Open again"));
        QVERIFY(enabled("Select all"));

        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        frame.setEnabled(&open, true);
        QVERIFY(enabled("Open") && enabled("Open again"));
        QCOMPARE(changed.count(), 1); // only "Open again" changed
        frame.setEnabled(&open, false);
        QVERIFY(!enabled("Open") && !enabled("Open again"));
        QVERIFY(enabled("Exit") && enabled("Select all"));
        QVERIFY(!frame.triggerCommand(1));
        QCOMPARE(open.count, 0);
        frame.setEnabled(&open, true);
        QVERIFY(frame.triggerCommand(2));
        QCOMPARE(open.count, 1);
        // A null target matches nothing, not the items of objects that are gone.
        frame.setEnabled(nullptr, false);
        QVERIFY(enabled("Open") && enabled("Exit"));
    }

    void secondStartBuildsANewBarAndTheOldOneStaysUntilClosed()
    {
        WindowFrame frame;
        QAbstractItemModelTester tester(
            frame.menuModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Target open, exit, selectAll, other;
        build(frame, open, exit, selectAll);
        frame.closeMenu();

        frame.startMenu();
        frame.pushItem();
        frame.addItem(&other, QStringLiteral("Other"), QString(), true);
        // Ids still name the attached bar's items while the new one is built.
        QVERIFY(frame.triggerCommand(4));
        QCOMPARE(selectAll.count, 1);
        frame.popItem(QStringLiteral("View"));
        frame.closeMenu();
        const QAbstractItemModel* model = frame.menuModel();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->index(0, 0).data(Model::TitleRole).toString(), QStringLiteral("View"));
        QCOMPARE(frame.itemCount(), 1);
        QVERIFY(frame.triggerCommand(1));
        QCOMPARE(other.count, 1);
        QVERIFY(!frame.triggerCommand(4));
        QCOMPARE(selectAll.count, 1);
        frame.setEnabled(&open, false);
        QVERIFY(find(model, QStringLiteral("Other")).data(Model::EnabledRole).toBool());
    }

    void itemOfAGoneObjectDoesNothing()
    {
        WindowFrame frame;
        auto doomed = std::make_unique<Target>();
        Target kept;
        frame.startMenu();
        frame.pushItem();
        frame.addItem(doomed.get(), QStringLiteral("Doomed"), QString(), true);
        frame.addItem(&kept, QStringLiteral("Kept"), QString(), true);
        frame.popItem(QStringLiteral("File"));
        frame.closeMenu();
        doomed.reset();
        QVERIFY(!frame.triggerCommand(1));
        QVERIFY(frame.triggerCommand(2));
        QCOMPARE(kept.count, 1);
    }
};

OSTRA_TEST_MAIN(TestWindowFrame)
#include "tst_windowframe.moc"
