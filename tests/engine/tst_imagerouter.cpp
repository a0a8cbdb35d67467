#include "support/filetree.h"
#include "support/testmain.h"

#include "engine/imagekeeper.h"
#include "engine/imagerouter.h"
#include "engine/sentinels.h"
#include "engine/streamsource.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <thread>
#include <vector>

namespace {

// A listener that records what reaches it and on which thread.
class Client : public QObject, public ImageClient
{
public:
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage& message) override
    {
        outputs.push_back(called(message));
        if (onOutput)
            onOutput(message);
    }
    void fileInvalid(QUrl location) override { invalid.push_back(called(location)); }
    void routerDetached(ImageRouter* router) override { called(router); }
    // Counts a call off the GUI thread; hands its argument through.
    template <typename T> const T& called(const T& argument)
    {
        offGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        return argument;
    }

    int offGuiThread = 0;
    std::vector<VrxMessage> outputs;
    std::vector<QUrl> invalid;
    std::function<void(const VrxMessage&)> onOutput;
};

VrxMessage message(int level, CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1))
{
    return VrxMessage::output(QUrl::fromLocalFile(QStringLiteral("/pictures/a.vrx")), VrxMessage::KindViewer,
        pyramid, CIAPI::ROI { 0, 0, level + 1, 1 }, level);
}

void deliverQueued()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestImageRouter : public QObject
{
    Q_OBJECT
private slots:
    // Outputs emitted on engine threads reach every listener on the GUI thread, each
    // producer's outputs in the order it emitted them.
    void outputsFromEngineThreadsArriveOnGuiThread()
    {
        ImageRouter router;
        Client a;
        Client b;
        router.addListener(&a);
        router.addListener(&b);
        const int producers = 4;
        const int perProducer = 200;
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&router, p] {
                for (int i = 0; i < perProducer; ++i) {
                    VrxMessage m = message(i);
                    m.kind = p;
                    emit router.notifyImageOutputSignal(m);
                }
                emit router.notifyFileInvalidSignal(QUrl::fromLocalFile(QString("/p/%1.vrx").arg(p)));
            });
        }
        for (auto& t : threads)
            t.join();
        // Nothing was delivered on the producers' threads.
        QCOMPARE(int(a.outputs.size()), 0);
        deliverQueued();
        for (Client* c : { &a, &b }) {
            QCOMPARE(c->offGuiThread, 0);
            QCOMPARE(int(c->outputs.size()), producers * perProducer);
            QCOMPARE(int(c->invalid.size()), producers);
            std::vector<int> next(producers, 0);
            for (const VrxMessage& m : c->outputs) {
                QCOMPARE(m.level, next[size_t(m.kind)]);
                ++next[size_t(m.kind)];
            }
        }
    }

    // Listeners that remove themselves, or destroy another, while an output is handed
    // out: nobody removed is called afterwards and nothing breaks.
    void broadcastSurvivesChangingTable()
    {
        ImageRouter router;
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 6; ++i) {
            clients.push_back(std::make_unique<Client>());
            router.addListener(clients.back().get());
        }
        std::vector<QPointer<Client>> alive;
        for (auto& c : clients)
            alive.emplace_back(c.get());
        for (int i = 0; i < 6; ++i) {
            Client* self = clients[size_t(i)].get();
            self->onOutput = [&, i, self](const VrxMessage&) {
                router.removeListener(self);
                // Each listener also destroys the one after it.
                const int next = (i + 1) % 6;
                if (alive[size_t(next)])
                    clients[size_t(next)].reset();
            };
        }
        emit router.notifyImageOutputSignal(message(0));
        int called = 0;
        for (auto& c : clients) {
            called += c ? int(c->outputs.size()) : 0;
            // Every surviving listener was called at most once and removed itself.
            QVERIFY(!c || c->outputs.size() <= 1);
        }
        QVERIFY(called >= 1);
        QCOMPARE(router.listenerCount(), 0);
    }

    // A keeper keeps its first output and sends it again for later ones, until cleared.
    void keeperKeepsFirstOutput()
    {
        ImageKeeper keeper(QUrl::fromLocalFile(QStringLiteral("/pictures/k.vrx")));
        QVERIFY(keeper.kept().pyramid == emptyPyramid());
        Client a;
        keeper.addListener(&a);
        const VrxMessage first = message(3);
        const VrxMessage second = message(5);
        keeper.setLoading(true);
        emit keeper.notifyImageOutputSignal(first);
        emit keeper.notifyImageOutputSignal(second);
        QCOMPARE(int(a.outputs.size()), 2);
        QVERIFY(a.outputs[0].pyramid == first.pyramid);
        QVERIFY(a.outputs[1].pyramid == first.pyramid);
        QCOMPARE(a.outputs[1].level, 3);
        QVERIFY(!keeper.loading());

        keeper.clearPyramid();
        QVERIFY(!keeper.hasOutput());
        QVERIFY(keeper.kept().pyramid == emptyPyramid());
        emit keeper.notifyImageOutputSignal(second);
        QVERIFY(a.outputs.back().pyramid == second.pyramid);
        keeper.resendOutput();
        QCOMPARE(int(a.outputs.size()), 4);
        QVERIFY(a.outputs.back().pyramid == second.pyramid);
    }

    // The batch edits clear the keeper on the engine's thread while the GUI thread keeps
    // and copies outputs; every output a listener gets is one that was sent or the empty
    // sentinel, never a torn copy.
    void keeperClearedFromEngineThread()
    {
        ImageKeeper keeper(QUrl::fromLocalFile(QStringLiteral("/pictures/c.vrx")));
        Client a;
        keeper.addListener(&a);
        std::vector<CIAPI::ImagePyramid> sent;
        for (int i = 0; i < 50; ++i)
            sent.push_back(CIAPI::ImagePyramid::Create(1));
        std::thread engine([&] {
            for (int i = 0; i < 50; ++i) {
                keeper.clearPyramid();
                emit keeper.notifyImageOutputSignal(message(i, sent[size_t(i)]));
                QThread::yieldCurrentThread();
            }
        });
        for (int i = 0; i < 2000; ++i) {
            const VrxMessage copy = keeper.kept();
            QVERIFY(copy.pyramid == emptyPyramid() || copy.pyramid.levelCount() == 1);
            QCoreApplication::processEvents();
        }
        engine.join();
        deliverQueued();
        QCOMPARE(a.offGuiThread, 0);
        for (const VrxMessage& m : a.outputs)
            QVERIFY(std::find(sent.begin(), sent.end(), m.pyramid) != sent.end());
    }
    // One source per file while anyone uses it; after the file was replaced (as an in-place
    // compression does) and the source dropped, new users map the new file and old ones keep
    // their bytes.
    void keeperSharesAndDropsSource()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/s.vrx";
        QVERIFY(ostra::test::writeTreeFile(path, QByteArray(5000, 'a')));
        ImageKeeper keeper(QUrl::fromLocalFile(path));
        std::shared_ptr<StreamSource> first = keeper.streamSource();
        QCOMPARE(keeper.streamSource().get(), first.get());
        QVERIFY(first->map());
        QVERIFY(ostra::test::writeTreeFile(path + ".new", QByteArray(10, 'b')));
        QVERIFY(QFile::remove(path) && QFile::rename(path + ".new", path));
        keeper.dropSource();
        std::shared_ptr<StreamSource> second = keeper.streamSource();
        QVERIFY(second.get() != first.get());
        QVERIFY(second->map());
        QCOMPARE(second->length(), qint64(10));
        QCOMPARE(first->length(), qint64(5000));
        QCOMPARE(first->data()[4999], uchar('a'));
        // Once nobody holds it, a fresh source is made.
        second.reset();
        QCOMPARE(keeper.streamSource()->mapCount(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestImageRouter)
#include "tst_imagerouter.moc"
