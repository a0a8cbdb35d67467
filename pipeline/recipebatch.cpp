#include "pipeline/recipebatch.h"

#include "pipeline/ipipeline.h"

RecipeBatch::RecipeBatch(const QUuid& session)
    : session(session)
{ }

void RecipeBatch::addStep()
{
    m_steps.append(Step { QUrl(), m_current });
}

RecipeBatch::Step* RecipeBatch::last()
{
    return m_steps.isEmpty() ? nullptr : &m_steps.last();
}

void RecipeBatch::setFileSize(qint64 size)
{
    if (Step* step = last())
        step->recipe.fileSize = size;
}

void RecipeBatch::setRecipe(const QJsonDocument& recipe)
{
    if (Step* step = last())
        step->recipe.recipe = recipe;
}

void RecipeBatch::setImageUuid(const QUuid& uuid)
{
    if (Step* step = last())
        step->recipe.imageUuid = uuid;
}

void RecipeBatch::setUrl(const QUrl& url, bool resolve)
{
    if (Step* step = last())
        step->url = resolve ? base.resolved(url) : url;
}

void RecipeBatch::submit(RecipeBatch* batch, IPipeline* sink, bool deleteAfter)
{
    sink->setBatch(true);
    for (const Step& step : qAsConst(batch->m_steps))
        sink->putRecipe(batch->session, step.url, step.recipe, batch->arbiter);
    if (batch->free)
        sink->setFree(batch->session);
    if (deleteAfter)
        delete batch;
    sink->setBatch(false);
}
