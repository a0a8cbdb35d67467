// The transfer journal's cost: 3,000 files imported through the router alone and through
// the journal in front of it (the files queued in one batch, as a source hands over a
// selection; each fetch a durable copy answered on the next turn), and the replay of a
// journal of 100,000 rows against a plain read of the same table. The files and the
// journal go to the folder given as the first argument, else to the temporary folder.

#include "bench/support/instantsource.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cstdio>

#include "pipeline/filecopy.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"

namespace {

constexpr int kFiles = 3000;
constexpr int kFileSize = 8 * 1024;
constexpr int kRows = 100000;
constexpr int kSessions = 100;

QString sourceOf(const QString& root, int i)
{
    return QStringLiteral("%1/src/%2.vrx").arg(root).arg(i, 5, 10, QLatin1Char('0'));
}

Recipe recipeOf(const QString& file, int i)
{
    Recipe r;
    r.provider = QStringLiteral("transfer");
    r.ioChannel = QStringLiteral("bench");
    r.recipe = QJsonDocument(QJsonObject { { "file", file } });
    r.imageUuid = QUuid::createUuidV5(QUuid(), QString::number(i));
    r.fileSize = kFileSize;
    return r;
}

// Seconds to import every file, through the journal when `journaled`.
double import(const QString& base, bool journaled)
{
    QTemporaryDir dir(base + QStringLiteral("/bench_journal-XXXXXX"));
    const QString root = dir.path();
    QDir().mkpath(root + "/src");
    QByteArray bytes(kFileSize, 'x');
    for (int i = 0; i < kFiles; ++i) {
        bytes[0] = char(i);
        QFile file(sourceOf(root, i));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
    QElapsedTimer timer;
    timer.start();
    RecipeRouter router;
    QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    mounted << QStorageInfo(root);
    router.setMounted(mounted);
    RecipeLogger logger;
    IPipeline* pipeline = &router;
    if (journaled) {
        logger.setDelegate(&router);
        logger.setDbConnString(root + QStringLiteral("/Trans.1.db"));
        pipeline = &logger;
    }
    bench::InstantSource source;
    IProvider::setPipeline(&source, pipeline);
    pipeline->start();
    const QUuid session = QUuid::createUuid();
    QEventLoop loop;
    QObject::connect(&router, &RecipeRouter::sessionCompleted, &loop, &QEventLoop::quit);
    pipeline->setBatch(true);
    for (int i = 0; i < kFiles; ++i) {
        const QString target = QStringLiteral("%1/dst/%2.vrx").arg(root).arg(i, 5, 10, QLatin1Char('0'));
        pipeline->putRecipe(session, QUrl::fromLocalFile(target), recipeOf(sourceOf(root, i), i), Arbiter());
    }
    pipeline->setBatch(false);
    loop.exec();
    return double(timer.nsecsElapsed()) / 1e9;
}

// Writes a journal of kRows rows over kSessions sessions, half of them done.
void makeJournal(const QString& path, const QString& root)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("make"));
        db.setDatabaseName(path);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
        RecipeLogger opener; // runs the schema
        opener.setDbConnString(path);
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(
            QStringLiteral("insert into recipes (session, url, provider, ioDevice, recipe, imageUUID, "
                           "fileSize, done) values (?, ?, 'transfer', 'bench', ?, ?, ?, ?)"));
        for (int i = 0; i < kRows; ++i) {
            const QUuid session = QUuid::createUuidV5(QUuid(), QString::number(i % kSessions));
            const Recipe r = recipeOf(QString::number(i), i);
            insert.addBindValue(session.toString());
            insert.addBindValue(
                QUrl::fromLocalFile(QStringLiteral("%1/dst/%2/%3.vrx").arg(root).arg(i % kSessions).arg(i))
                    .toString(QUrl::FullyEncoded));
            insert.addBindValue(QString::fromUtf8(r.recipe.toJson(QJsonDocument::Compact)));
            insert.addBindValue(r.imageUuid.toString());
            insert.addBindValue(r.fileSize);
            insert.addBindValue(i % 2);
            if (!insert.exec())
                qFatal("insert failed");
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("make"));
}

double plainRead(const QString& path)
{
    QElapsedTimer timer;
    timer.start();
    qint64 sum = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("read"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery select(QStringLiteral("select * from recipes"), db);
        while (select.next())
            sum += select.value(3).toString().size() + select.value(6).toString().size();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("read"));
    return sum > 0 ? double(timer.nsecsElapsed()) / 1e9 : -1;
}

double replay(const QString& path, const QString& root)
{
    QElapsedTimer timer;
    timer.start();
    RecipeRouter router;
    QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    mounted << QStorageInfo(root);
    router.setMounted(mounted);
    RecipeLogger logger;
    logger.setDelegate(&router);
    logger.setDbConnString(path);
    bench::InstantSource source;
    IProvider::setPipeline(&source, &logger);
    logger.start();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (router.sequenceCount() != kSessions)
        qFatal("replay lost sessions");
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*.debug=false"));
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    std::printf("in %s\n", qPrintable(base));

    // Best of two, interleaved so that both see the same disk.
    double plain = 1e9, journaled = 1e9;
    for (int run = 0; run < 2; ++run) {
        plain = qMin(plain, import(base, false));
        journaled = qMin(journaled, import(base, true));
    }
    std::printf(
        "import of %d files of %d bytes: router %.3f s, journaled %.3f s, ratio %.3f (aim under 1.05)\n",
        kFiles, kFileSize, plain, journaled, journaled / plain);

    QTemporaryDir dir(base + QStringLiteral("/bench_journal-XXXXXX"));
    const QString journal = dir.filePath(QStringLiteral("Trans.1.db"));
    makeJournal(journal, dir.path());
    const double read = plainRead(journal);
    const double replayed = replay(journal, dir.path());
    std::printf("replay of %d rows: %.3f s (aim under 2 s), plain read %.3f s, ratio %.1f\n", kRows, replayed,
        read, replayed / read);
    return 0;
}
