#pragma once

#include <QMetaType>
#include <QModelIndex>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>

#include "pipeline/interfaces/arbiter.h"
#include "pipeline/interfaces/iharvest.h"
#include "pipeline/interfaces/recipe.h"

class IFileSink;

// A source of files as the pipeline sees it. Of the recipe handed to freeImage and
// imageChanged only provider and ioChannel are meaningful.
class IProvider
{
public:
    using Validator = std::function<bool(const QUrl&, const Recipe&)>;

    // How many transfers the channel takes at once.
    virtual int capacity(QString ioChannel) = 0;
    // The key under which the source registers with the pipeline.
    virtual QString routeKey() = 0;
    virtual void attach(IFileSink* sink) = 0;
    // The existing target already is this recipe's file.
    virtual bool verify(QUrl target, Recipe recipe) { return validator()(target, recipe); }
    // Run on the copy thread after a local copy.
    virtual Validator validator() = 0;
    // Takes an existing target as the item's file.
    virtual bool adopt(QUrl target, Recipe recipe) = 0;
    // Starts fetching; the source answers through the pipeline's front later.
    virtual void fetch(QUrl target, Recipe recipe, Arbiter arbiter) = 0;
    // Withdraws an outstanding transfer.
    virtual bool reclaim(QUrl target, Recipe recipe) = 0;
    // Every file of the image is imported and verified: delete it at the source.
    virtual void freeImage(Recipe recipe, QUuid imageUuid, QModelIndex index) = 0;
    virtual void imageChanged(Recipe recipe, QUuid imageUuid, QModelIndex index, IHarvest* harvest) = 0;
    // Raw pictures are copied through a temporary name.
    virtual bool isRaw(Recipe recipe) = 0;
    // Files the image service handles: evicted before overwriting, validated by it.
    virtual bool isManaged(Recipe recipe) { return isRaw(recipe); }
    virtual ~IProvider() = default;

    // Wires a source to a pipeline: the source reports to it, and the pipeline routes
    // the source's recipes to it.
    static void setPipeline(IProvider* source, IFileSink* pipeline);
};

Q_DECLARE_METATYPE(IProvider*)
