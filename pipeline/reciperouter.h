#pragma once

#include <QHash>
#include <QList>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QSet>
#include <QStorageInfo>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

#include "core/leavableworker.h"
#include "core/replytarget.h"
#include "engine/fileperm.h"
#include "pipeline/copygroup.h"
#include "pipeline/interfaces/ibailiff.h"
#include "pipeline/interfaces/iochannel.h"
#include "pipeline/ipipeline.h"
#include "pipeline/iprovider.h"
#include "pipeline/passvolumecache.h"
#include "pipeline/transferrequest.h"
#include "pipeline/transfersequence.h"

class IFileCalls;
class PipelineModel;
class TicketsRecord;

// The pipeline's scheduler: keeps every queued file, groups the files by import session,
// decides in a scheduling pass which file moves next and how (a local copy of an
// identical file already imported, or a transfer by the source), counts progress,
// turns problems into tickets and tells when sessions complete. GUI thread only; local
// copies run in FileCopy workers on one low-priority thread per destination volume, and
// what a pass asks the file system (targets, folders, volumes, local sources) is asked
// on a worker before the pass runs, so that a file system that hangs never holds the
// window.
class RecipeRouter : public IPipeline
{
    Q_OBJECT
    Q_PROPERTY(int activityCount READ activityCount NOTIFY activityCountChanged)
    Q_PROPERTY(int sequenceCount READ sequenceCount NOTIFY activityCountChanged)
    Q_PROPERTY(int inFlightCount READ inFlightCount NOTIFY inFlightCountChanged)
    Q_PROPERTY(FilePerm* filePerm READ filePerm WRITE setFilePerm NOTIFY filePermChanged)
    Q_PROPERTY(IBailiff* bailiff READ bailiff WRITE setBailiff NOTIFY bailiffChanged)
    Q_PROPERTY(QList<QStorageInfo> mounted READ mounted WRITE setMounted NOTIFY mountedChanged)
    Q_PROPERTY(TicketsRecord* tickets READ tickets CONSTANT)
public:
    // The import state of one file of an image (one recipe) across sessions.
    class RemovablePart : public IHarvest
    {
    public:
        QSet<QUuid> requested;
        QSet<QUuid> freeing;
        QSet<QUuid> completed;
        QSet<QUuid> completedBeforeStart;
        QList<QUrl> urls;
        QList<QUrl> verified;
        // The files that an import wrote itself, with the session that wrote each.
        QHash<QUrl, QUuid> placed;
        // Each verified file's size when it was last verified (the image service may
        // compress a copy in place, and verifies it again then).
        QHash<QUrl, qint64> verifiedSize;

        bool active() const override;
        bool complete() const override;
        bool removable() const override;
        // The files to look at before the source deletes anything: the verified ones that
        // a freeing session wrote.
        QList<QUrl> ownVerified() const;
        // One of them is still where it was put, with the size it was verified with, as
        // the check found them: 1 yes, 0 no, -1 one of them was not checked.
        int copyInPlace(const Recipe& recipe, const PassVolumeCache& checked) const;
    };

    // The import state of one image of a source channel: its item at the source and its
    // files.
    class Constellation : public IHarvest
    {
    public:
        QString provider;
        QString ioChannel;
        QUuid imageUuid;
        QPersistentModelIndex index;
        QHash<Recipe, RemovablePart> parts;
        bool freed = false; // the source was told to delete it once (or its copies are checked for it)
        // The last check before a deletion found a copy gone or changed: nothing is deleted
        // until a copy is verified again.
        bool copyGone = false;

        bool active() const override;
        bool complete() const override;
        // Every part removable and no copy found gone. Reads nothing from the disk: the
        // copies are checked on a worker before the source is told to delete the image.
        bool removable() const override;
        // The image's key as the sources take it: only provider and channel are set.
        Recipe key() const;
    };

    explicit RecipeRouter(QObject* parent = nullptr);
    ~RecipeRouter() override;

    int activityCount() const;
    int sequenceCount() const { return m_sessions.size() - 1; }
    int inFlightCount() const;
    FilePerm* filePerm() const { return m_filePerm; }
    void setFilePerm(FilePerm* perm);
    IBailiff* bailiff() const { return m_bailiff; }
    void setBailiff(IBailiff* bailiff);
    // The mounted volumes that targets are placed on, read by whoever owns them (reading
    // them may hang on a file system gone away). No pass runs before they are first set.
    QList<QStorageInfo> mounted() const { return m_mounted; }
    void setMounted(const QList<QStorageInfo>& mounted);
    TicketsRecord* tickets() const { return m_tickets; }
    // A pass is queued, or waits for the file system's answers.
    bool passPending() const { return m_queued || m_probing; }
    // Files completed or verified, or pictures to be deleted at their source, whose files
    // wait to be checked (on the pass's worker, before its pass).
    bool checksPending() const
    {
        return !m_completions.isEmpty() || !m_verifications.isEmpty() || !m_freeChecks.isEmpty()
            || !m_revalidate.isEmpty() || !m_asked.isEmpty();
    }
    // Called on the probe's thread before the file system is asked about each path of a
    // pass (tests hold a path there, as a file system that hangs would).
    void setProbeHook(PassVolumeCache::Hook hook) { m_probeHook = std::move(hook); }
    // The file calls of the local copies (tests inject failures); the system's by default.
    // Set before the copies start: the copy threads use them.
    void setFileCalls(IFileCalls* calls) { m_fileCalls = calls; }

    // IFileSink
    void setFront(IFileSink* front) override;
    Q_INVOKABLE void setRoute(QString key, IProvider* provider) override;
    void onVerified(QUrl target, QUuid imageUuid) override;
    IHarvest* claimIndex(QString provider, QString ioChannel, QUuid imageUuid, QModelIndex index) override;
    void onClaimAll(QString provider, QString ioChannel) override;
    void setDate(QUuid session, QDateTime date) override;
    void setBatch(bool open) override;

    // IPipeline
    bool putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter) override;
    void setFree(QUuid session, Recipe recipe) override;
    void setFree(QUuid session) override;
    void setLive(QUuid session, bool live) override;
    bool hasMore(QUuid session) override;
    void dismiss(QUuid session) override;
    void clarify(TrafficTicket ticket, Arbiter arbiter) override;
    bool hasFile(QUrl file) override;
    bool hasRequests() override;
    bool hasRequests(QString provider, QString ioChannel) override;
    void setLive(QUuid session, IFileSink::Error error) override;
    void unblockChannel(Recipe recipe) override;
    void unblockVolume(Volume volume) override;
    void revive(QUrl url) override;
    bool recall(QUrl url) override;
    QList<QUuid> sessions() override;
    QList<QUuid> sessions(TrafficTicket ticket) override;
    QList<QUrl> urls(QUuid session, IFileSink::Error error) override;
    QList<QUrl> urls(Recipe recipe) override;
    ProgressModel* footprint() override;
    ProgressModel* footprint(QUuid session) override;
    ProgressModel* footprint(QUrl path) override;
    QAbstractItemModel* model() override;
    QList<QUrl> files(QUuid session) override;
    void start() override;
    void touch() override;
    void clear() override;

    Q_INVOKABLE void pauseAll();

    using IPipeline::recall;
    using IPipeline::revive;
    using IPipeline::setLive;

public slots:
    void onObstacle(QUrl target, Recipe recipe, IFileSink::Error error) override;
    void onChanLost(QString provider, QString ioChannel, IFileSink::Error error) override;
    void onRecovery(QString provider, QString ioChannel) override;
    void onProgress(QUrl target, Recipe recipe, ProgressRatio ratio) override;
    void onComplete(QUrl target, Recipe recipe) override;
    void onReleased(Recipe recipe, IFileSink::Error error) override;

    void onFileFailed(QString source, Recipe recipe);
    void onFileCopied(QString target, Recipe recipe, Volume volume, bool success);
    // A group of local copies settled together: their completions are journaled in one
    // transaction.
    void onCopiesSettled(QVector<CopyOutcome> outcomes);
    void touchQueued();
    void touchGuarded();

signals:
    void inFlightCountChanged();
    void activityCountChanged();
    void sessionCompleted(QUuid session, QStringList path);
    void filePermChanged();
    void bailiffChanged();
    void mountedChanged();

private:
    friend class PipelineModel;

    struct ChannelEntry
    {
        QSet<QString> outstanding;
        int mask = 0;
    };
    struct VolumeEntry
    {
        QSet<QString> outstanding;
        int mask = 0;
        QThread* thread = nullptr;
        CopyGroup* group = nullptr; // lives in the thread: places the copies, reports them
    };
    struct LocalCopy
    {
        qint64 size = 0;
        QDateTime modified;
    };
    struct HarvestKey
    {
        QString provider;
        QString ioChannel;
        QUuid imageUuid;
        bool operator==(const HarvestKey& o) const
        {
            return provider == o.provider && ioChannel == o.ioChannel && imageUuid == o.imageUuid;
        }
    };
    friend uint qHash(const HarvestKey& key, uint seed)
    {
        return qHash(key.imageUuid, seed) ^ qHash(key.ioChannel);
    }

    // What a visit of one target in the pass ended with.
    enum class Visit { Next, SourceTransfer };

    TransferSequence& sequence(const QUuid& session, bool* created = nullptr);
    // The session's sequence, made with its model row when it is new.
    TransferSequence& addSequence(const QUuid& session, bool* created = nullptr);
    const TransferSequence* findSequence(const QUuid& session) const;
    IProvider* provider(const QString& key) const;
    ProgressModel* volumeProgress(const QString& rootPath);
    void setTargetProgress(const QString& path, const TransferRequest& request, ProgressRatio ratio);
    void checkCompletion(const QUuid& session, bool wasFinished);
    void refreshRow(const QUuid& session, const QVector<int>& roles = {});
    void refreshAll();
    void purify(const QUuid& session, TransferSequence& seq);
    void fileTicket(const TrafficTicket& ticket, bool channelError);
    void emitCounts();

    // The pass. Its questions to the file system are asked on the probe worker first; the
    // pass runs with the answers once they are in.
    PassVolumeCache::Questions passQuestions();
    void runPass(PassVolumeCache::Facts facts);
    // The files waiting to be checked join the pass's questions; their answers are taken
    // in (applyChecks) before the pass runs.
    void askChecks(PassVolumeCache::Questions& questions);
    void applyChecks();
    // Tells the files queued on the channels of sources that listed everything and have no
    // local original as lost at their source, once the local files completed before are
    // recorded (they are read on the worker first).
    void loseFilesWithoutLocalOriginal();
    // Whether the pass looks at this pending request now (else it leaves it for later
    // without asking anything).
    bool looksAt(const TransferRequest& request, IProvider* source);
    // The local copies of the recipe were all asked about in this pass.
    bool knowsCandidates(const QString& target, const Recipe& recipe) const;
    void visitSession(const QUuid& session, TransferSequence& seq);
    void dropCancelled(const QUuid& session, TransferSequence& seq);
    void reclaimCancelled(TransferSequence& seq);
    Visit visitAbsent(
        const QString& path, TransferRequest& request, TransferSequence& seq, IProvider* source);
    bool checkTarget(const QString& path, TransferRequest& request);
    Visit visitPresent(const QString& path, TransferRequest& request, IProvider* source);
    // `exists`: the target was there when the pass looked.
    void sourceTransfer(
        const QString& path, TransferRequest& request, TransferSequence& seq, IProvider* source, bool exists);
    bool findLocalSource(const QString& target, const Recipe& recipe, QString* source, LocalCopy* copy);
    bool startLocalCopy(const QString& target, const TransferRequest& request, const QString& source,
        const LocalCopy& copy, IProvider* provider);
    // Ends the volumes' copy threads once the copies queued there have run.
    void stopCopyThreads();
    void forgetLocalCopy(const QString& path, const Recipe& recipe);
    void onCopyObstacle(QUrl target, Recipe recipe, IFileSink::Error error);
    bool replaceable(const QString& path, const TransferRequest& request, IProvider* source);
    // Transfers the channel may still start in this pass.
    int room(const IOChannel& channel, IProvider* source);
    bool hasLocalCandidate(const Recipe& recipe) const;
    bool anyRoom(const TransferSequence& seq);
    void setWaiting(TransferSequence& seq, TransferRequest& request, bool waiting);
    // A local file of the recipe came: the files of that recipe that waited for room wait
    // no more.
    void wakeWaiting(const Recipe& recipe);
    void visitTarget(const QString& path, TransferSequence& seq);

    // Harvests.
    Constellation& harvest(const Recipe& recipe);
    Constellation* findHarvest(const Recipe& recipe);
    void harvestCompleted(const QString& path, const TransferRequest& request, IProvider* source);
    struct Completion
    {
        QUuid session;
        Recipe recipe;
        bool verify = false; // the source's test decides whether the copy is verified
        IProvider::Validator validator;
    };
    void applyCompletion(const QString& path, const Completion& completion);
    void applyVerification(const QUrl& target, const QUuid& imageUuid);
    void applyFreeCheck(const std::shared_ptr<Constellation>& image);
    // Applies a change to every harvest part that the session asked for (only the
    // recipe's when given) and frees the images that it makes removable.
    void changeParts(
        const QUuid& session, const Recipe* only, const std::function<void(RemovablePart&)>& change);
    void tellImageChanged(Constellation& image, const Recipe& recipe, IProvider* source);
    // Tells the source to delete the image when it is removable; true when told. `again`:
    // a check that found nothing new to free (a copy verified once more) tells it only when
    // it was not told yet.
    bool freeRemovable(Constellation& image, bool again = false);
    // Tells the sources to delete the images that were found removable while a batch was
    // open, now that the journal has saved the batch.
    void freeDeferred();

    QList<QUuid> m_sessions { QUuid() };
    QHash<QUuid, TransferSequence> m_sequences;
    QMap<QString, TransferRequest> m_requests;
    QHash<QString, IProvider*> m_providers;
    QHash<IOChannel, ChannelEntry> m_channels;
    QHash<Volume, VolumeEntry> m_volumes;
    QHash<QString, LocalCopy> m_localCopies;
    QHash<Recipe, PathSet> m_copiesByRecipe;
    QHash<QString, QString> m_copySources; // local copies under way: target -> source
    QHash<QString, int> m_copyObstacles; // local copies whose worker said why they failed
    // Local copies under way: target -> raised once the copy is no longer wanted.
    QHash<QString, std::shared_ptr<std::atomic<bool>>> m_copyWithdrawals;
    struct Unchecked
    {
        QUuid session;
        Recipe recipe;
    };
    // Files that a replay found complete and nobody asked to check yet: a kill may have
    // come between a copy and its verification.
    QHash<QString, Unchecked> m_unchecked;
    // Checks waiting for the next pass's worker: completed files (their size and time for
    // later local copies, the source's test), verified files (the size they were verified
    // with), pictures whose copies are looked at before the source deletes them, and
    // files of an earlier run to send for verification.
    QHash<QString, Completion> m_completions;
    QVector<QPair<QUrl, QUuid>> m_verifications;
    QList<std::shared_ptr<Constellation>> m_freeChecks;
    QHash<QString, Unchecked> m_revalidate;
    // The checks in the probe under way.
    struct Asked
    {
        QHash<QString, Completion> completions;
        QVector<QPair<QUrl, QUuid>> verifications;
        QList<std::shared_ptr<Constellation>> freeChecks;
        QHash<QString, Unchecked> revalidate;
        bool isEmpty() const
        {
            return completions.isEmpty() && verifications.isEmpty() && freeChecks.isEmpty()
                && revalidate.isEmpty();
        }
    };
    Asked m_asked;
    // Channels (provider, channel) whose files without a local original are to be told lost.
    QList<QPair<QString, QString>> m_lostChecks;
    QHash<HarvestKey, std::shared_ptr<Constellation>> m_harvests;
    QMultiHash<QUuid, HarvestKey> m_harvestsByImage;
    ProgressModel* m_progress;
    QHash<QUuid, ProgressModel*> m_sessionProgress;
    QHash<QString, ProgressModel*> m_volumeProgress;
    PipelineModel* m_model;
    TicketsRecord* m_tickets;
    QList<QStorageInfo> m_mounted;
    bool m_mountedKnown = false; // set once: the pass waits for it
    QPointer<FilePerm> m_filePerm;
    IBailiff* m_bailiff = nullptr;
    std::shared_ptr<std::atomic<bool>> m_stop;
    PassVolumeCache m_pass;
    PassVolumeCache::Hook m_probeHook;
    IFileCalls* m_fileCalls = nullptr;
    LeavableWorker m_probes; // asks the file system for the passes, one probe at a time
    std::shared_ptr<ReplyTarget> m_replies;
    bool m_probing = false;
    bool m_probeAgain = false; // a pass was asked for while the probe ran
    bool m_passMissed = false; // the pass met a path the probe was not asked about
    QSet<IOChannel> m_takenChannels;
    QHash<IOChannel, int> m_passCapacity; // each channel's capacity, asked once per pass
    bool m_started = false;
    bool m_queued = false;
    // Between setBatch(true) and setBatch(false) the journal has not saved the completions
    // yet: no source deletes anything before it has. The journal closes the batch only once
    // it is saved; one it could not save stays open until a later try saves it.
    bool m_batchOpen = false;
    QList<std::shared_ptr<Constellation>> m_deferredFrees;
};
