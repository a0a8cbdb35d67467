#pragma once

#include <QDateTime>
#include <QModelIndex>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include "core/progressratio.h"
#include "engine/vrxmetadata.h"
#include "pipeline/interfaces/iharvest.h"
#include "pipeline/interfaces/recipe.h"

class IProvider;

// What flows into a transfer pipeline: file events from the sources and the copy
// workers. Pipelines are chained as decorators; each keeps `front`, the outermost
// pipeline, and sends its own upcalls through it so that a journal in front records them.
class IFileSink : public QObject
{
    Q_OBJECT
public:
    // Problems of a request, as bit flags.
    enum Error {
        NoError = 0,
        IOPause = 1, // the source paused a channel
        Present = 2, // the target exists and neither skip nor overwrite is set
        CantDel = 4, // an existing target could not be removed
        Content = 8, // the source refuses the file's content
        NoSpace = 16, // the target volume has no room for the file
        DirLost = 32, // the target folder could not be created
        NoWrite = 64, // the target folder is not writable
        NoDrive = 128, // the target volume is missing, read-only or another one
        IOError = 256, // the source reported an I/O error on a channel
        SrcLost = 512, // the source file is gone
    };
    Q_ENUM(Error)

    // Which requests a ticket and a decision reach.
    enum Scope {
        NoScope = 0,
        TargetScope = 1,
        RecipeScope = 2,
        FolderScope = 3,
        VolumeScope = 4,
        DeviceScope = 5,
        SessionScope = 6,
        ProviderScope = 7,
        GlobalScope = 8,
    };
    Q_ENUM(Scope)

    // Errors that finish a request.
    static constexpr int FinalMask = SrcLost | Content;
    // Errors that stop a whole session until the user decides.
    static constexpr int BlockingMask = NoSpace | DirLost | NoWrite | NoDrive;

    // The reach of a ticket raised for `error`. A combination of flags reaches as far as
    // the widest of its flags.
    static Scope scopeOf(int error);

    explicit IFileSink(QObject* parent = nullptr);

    // 1-7: wiring and bookkeeping.
    virtual void setFront(IFileSink* front) = 0;
    virtual void setRoute(QString key, IProvider* provider) = 0;
    Q_INVOKABLE virtual void onVerified(QUrl target, QUuid imageUuid) = 0;
    Q_INVOKABLE virtual IHarvest* claimIndex(
        QString provider, QString ioChannel, QUuid imageUuid, QModelIndex index)
        = 0;
    Q_INVOKABLE virtual void onClaimAll(QString provider, QString ioChannel) = 0;
    virtual void setDate(QUuid session, QDateTime date) = 0;
    virtual void setBatch(bool open) = 0;

    // The image service accepted a copied file: onVerified with its location and image.
    Q_INVOKABLE void onGoodFromMetadata(VrxMetadata md);

    IFileSink* frontSink() const { return front; }

signals:
    // A copied file needs verification by the image service.
    void needValidate(QUrl target, Recipe recipe);

public slots:
    // 8-13: events of one request or one channel.
    virtual void onObstacle(QUrl target, Recipe recipe, IFileSink::Error error) = 0;
    virtual void onChanLost(QString provider, QString ioChannel, IFileSink::Error error) = 0;
    virtual void onRecovery(QString provider, QString ioChannel) = 0;
    virtual void onProgress(QUrl target, Recipe recipe, ProgressRatio ratio) = 0;
    virtual void onComplete(QUrl target, Recipe recipe) = 0;
    virtual void onReleased(Recipe recipe, IFileSink::Error error) = 0;

protected:
    // The outermost pipeline of the chain; the object itself until setFront.
    IFileSink* front = this;
};

Q_DECLARE_METATYPE(IFileSink::Error)
Q_DECLARE_METATYPE(IFileSink*)
