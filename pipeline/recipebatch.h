#pragma once

#include <QList>
#include <QUrl>
#include <QUuid>

#include "pipeline/interfaces/arbiter.h"
#include "pipeline/interfaces/recipe.h"

class IPipeline;

// A group of files handed to a pipeline at once: filled step by step by the capture code,
// then submitted as one bracketed batch (with the journal, one SQLite transaction).
class RecipeBatch
{
public:
    struct Step
    {
        QUrl url;
        Recipe recipe;
    };

    explicit RecipeBatch(const QUuid& session);

    Arbiter arbiter;
    bool free = false;
    QUuid session;
    QUrl base;

    // The recipe that the next step copies.
    void setProvider(const QString& provider) { m_current.provider = provider; }
    void setIoChannel(const QString& ioChannel) { m_current.ioChannel = ioChannel; }
    void setEstimate(bool estimate) { m_current.estimate = estimate; }

    // A new step with a null URL and a copy of the current recipe.
    void addStep();
    // The last step's fields.
    void setFileSize(qint64 size);
    void setRecipe(const QJsonDocument& recipe);
    void setImageUuid(const QUuid& uuid);
    // Relative URLs are resolved against the base URL when `resolve` is set.
    void setUrl(const QUrl& url, bool resolve = false);

    const QList<Step>& steps() const { return m_steps; }

    // Queues every step with the pipeline, frees the session's files at the source when
    // asked, and deletes the batch when `deleteAfter` (it must then come from new).
    static void submit(RecipeBatch* batch, IPipeline* sink, bool deleteAfter);
    void submit(IPipeline* sink) { submit(this, sink, false); }

private:
    Step* last();

    Recipe m_current;
    QList<Step> m_steps;
};
