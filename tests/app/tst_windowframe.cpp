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

    struct Targets
    {
        Target open, exit, selectAll;
        std::unique_ptr<Target> gone = std::make_unique<Target>();
    };

    static QModelIndex find(const QAbstractItemModel* model, const QString& title)
    {
        return model
            ->match(model->index(0, 0), Model::TitleRole, title, 1, Qt::MatchExactly | Qt::MatchRecursive)
            .value(0);
    }

    static bool enabled(const WindowFrame& frame, const char* title)
    {
        return find(frame.menuModel(), QLatin1String(title)).data(Model::EnabledRole).toBool();
    }

    // File: open (Ctrl+O), separator, Recent > (again: open, greyed), exit; Edit: select all,
    // an item whose object the test may delete.
    static void build(WindowFrame& frame, Targets& t)
    {
        frame.startMenu();
        frame.pushItem();
        frame.addItem(&t.open, QStringLiteral("Open"), QStringLiteral("Ctrl+O"), true);
        frame.addSeparator();
        frame.pushItem();
        frame.addItem(&t.open, QStringLiteral("Open again"), QString(), false);
        frame.popItem(QStringLiteral("Recent"));
        frame.addItem(&t.exit, QStringLiteral("Exit"), QStringLiteral("Ctrl+Q"), true);
        frame.popItem(QStringLiteral("File"));
        frame.pushItem();
        frame.addItem(&t.selectAll, QStringLiteral("Select all"), QStringLiteral("Ctrl+A"), true);
        frame.addItem(t.gone.get(), QStringLiteral("Gone"), QString(), true);
        frame.popItem(QStringLiteral("Edit"));
    }

private slots:
    void barIsShownOnceClosedAndItsItemsGreyedByObject()
    {
        WindowFrame frame;
        QAbstractItemModel* model = frame.menuModel();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        Targets t;
        build(frame, t);
        // Nothing is shown, nor greyed, before the bar is attached.
        frame.setEnabled(&t.open, false);
        QCOMPARE(model->rowCount(), 0);
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        frame.closeMenu();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(model->rowCount(), 2);
        const QModelIndex file = model->index(0, 0);
        QCOMPARE(model->index(1, 0, file).data(Model::KindRole).toInt(), int(WindowMenuNode::Separator));
        const QModelIndex again = find(model, QStringLiteral("Open again"));
        QCOMPARE(again.parent().data(Model::TitleRole).toString(), QStringLiteral("Recent"));
        QCOMPARE(again.parent().parent(), file);
        // Ids follow the order of the addItem calls across menus.
        QCOMPARE(again.data(Model::CommandIdRole).toInt(), 2);
        QCOMPARE(find(model, QStringLiteral("Select all")).data(Model::CommandIdRole).toInt(), 4);
        QVERIFY(enabled(frame, "Open") && !enabled(frame, "Open again"));

        // The items of one object change together.
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        frame.setEnabled(&t.open, true);
        QVERIFY(enabled(frame, "Open") && enabled(frame, "Open again"));
        QCOMPARE(changed.count(), 1); // only "Open again" changed
        frame.setEnabled(&t.open, false);
        QVERIFY(!enabled(frame, "Open") && !enabled(frame, "Open again"));
        QVERIFY(enabled(frame, "Exit") && enabled(frame, "Select all"));
        // A null target matches nothing, not the items of objects that are gone.
        t.gone.reset();
        frame.setEnabled(nullptr, false);
        QVERIFY(enabled(frame, "Gone"));
    }

    void commandIds_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("runs"); // whose "triggered" is called, "" for none
        QTest::newRow("zero") << 0 << "";
        QTest::newRow("negative") << -1 << "";
        QTest::newRow("first") << 1 << "open";
        QTest::newRow("greyed") << 2 << "";
        QTest::newRow("in sub-menu's parent") << 3 << "exit";
        QTest::newRow("last") << 4 << "selectAll";
        QTest::newRow("object gone") << 5 << "";
        QTest::newRow("above the table") << 6 << "";
        QTest::newRow("not attached yet") << 1 << "";
    }

    void commandIds()
    {
        QFETCH(int, id);
        QFETCH(QString, runs);
        WindowFrame frame;
        Targets t;
        build(frame, t);
        if (QByteArray(QTest::currentDataTag()) != "not attached yet")
            frame.closeMenu();
        t.gone.reset();
        QCOMPARE(frame.triggerCommand(id), !runs.isEmpty());
        QCOMPARE(t.open.count, int(runs == "open"));
        QCOMPARE(t.exit.count, int(runs == "exit"));
        QCOMPARE(t.selectAll.count, int(runs == "selectAll"));
    }

    void secondStartBuildsANewBarAndTheOldOneStaysUntilClosed()
    {
        WindowFrame frame;
        QAbstractItemModelTester tester(
            frame.menuModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Targets t;
        Target other;
        build(frame, t);
        frame.closeMenu();

        frame.startMenu();
        frame.pushItem();
        frame.addItem(&other, QStringLiteral("Other"), QString(), true);
        // Ids still name the attached bar's items while the new one is built.
        QVERIFY(frame.triggerCommand(4));
        QCOMPARE(t.selectAll.count, 1);
        frame.popItem(QStringLiteral("View"));
        frame.closeMenu();
        QCOMPARE(frame.menuModel()->rowCount(), 1);
        QCOMPARE(frame.itemCount(), 1);
        QVERIFY(frame.triggerCommand(1));
        QCOMPARE(other.count, 1);
        QVERIFY(!frame.triggerCommand(4));
        QCOMPARE(t.selectAll.count, 1);
    }
};

OSTRA_TEST_MAIN(TestWindowFrame)
#include "tst_windowframe.moc"
