// Resident memory of the sectioned gallery while it is scrolled end to end over a demo
// library, against the thumbnail budget. The reference is the resident memory with the
// gallery loaded and nothing shown yet, measured in the same run; the figures are the
// growth over it and the pictures kept when the scroll ends.
//
// bench_gallerymemory [folder] [budget MB]   (default: a 60-picture demo library made in a
// temporary folder, and a 16 MB budget so that the budget is what bounds the growth)

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

#include <cstdio>

#include "app/typeregistration.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "library/session.h"
#include "tools/vrxgen/cameratree.h"

namespace {

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietMessages);
    QGuiApplication app(argc, argv);
    ostra::registerMetaTypes();
    ostra::registerQmlTypes();

    QTemporaryDir temporary;
    QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const int budgetMb = argc > 2 ? std::atoi(argv[2]) : 16;
    if (folder.isEmpty()) {
        folder = temporary.filePath(QStringLiteral("demo"));
        std::printf("making a 60-picture demo library...\n");
        if (!vrxgen::makeDemoLibrary(QFile::encodeName(folder).toStdString(), 60)) {
            std::fprintf(stderr, "cannot make the demo library\n");
            return 1;
        }
    }

    ImageLocator locator(4, nullptr);
    locator.setThumbnailBudgetMb(budgetMb);
    Session session;
    session.setResolver(&locator);
    ActiveSession gallery;
    gallery.setResolver(&locator);
    gallery.setSortField(QStringLiteral("timestamp"));
    gallery.setSource(&session);
    session.offer(QUrl::fromLocalFile(folder), true);
    QElapsedTimer clock;
    clock.start();
    while (gallery.rowCount() < gallery.grossCount() || gallery.grossCount() == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (clock.elapsed() > 300000)
            break;
    }
    const double reference = residentMb();

    QQuickView view;
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(1280, 800);
    view.setInitialProperties({ { QStringLiteral("model"), QVariant::fromValue<QObject*>(&gallery) },
        { QStringLiteral("locator"), QVariant::fromValue<QObject*>(&locator) } });
    view.setSource(QUrl::fromLocalFile(QStringLiteral(OSTRA_QML_DIR "/Views/ViewMainGallery.qml")));
    if (view.status() != QQuickView::Ready) {
        std::fprintf(stderr, "the gallery did not load\n");
        return 1;
    }
    view.show();
    settle(2000);

    auto* collection = view.rootObject()->findChild<QQuickItem*>(QStringLiteral("galleryCollection"));
    double peak = residentMb();
    if (collection) {
        for (;;) {
            const double y = collection->property("contentY").toDouble();
            const double end = collection->property("contentHeight").toDouble() - collection->height();
            if (y >= end)
                break;
            collection->setProperty("contentY", qMin(end, y + collection->height() / 2));
            settle(300);
            peak = qMax(peak, residentMb());
        }
    }
    settle(1000);
    std::printf("pictures: %d listed of %d offered\n", gallery.rowCount(), gallery.grossCount());
    std::printf("thumbnail budget: %d MB; kept at the end: %.1f MB in %d pictures\n", budgetMb,
        double(locator.thumbnails().used()) / 1048576.0, locator.thumbnails().keptCount());
    std::printf("%-52s %10.1f MB   x1.00\n", "reference: resident, gallery listed, nothing shown", reference);
    std::printf(
        "%-52s %10.1f MB   x%.2f\n", "peak resident while scrolling end to end", peak, peak / reference);
    std::printf("%-52s %10.1f MB   (aim: budget + 300 MB)\n", "growth over the reference", peak - reference);
    return 0;
}
