#pragma once

#include <QObject>
#include <QUrl>
#include <QVariant>

#include <map>

#include "core/progressratio.h"
#include "core/variantless.h"

// Adds up progress as (done, total), optionally split into named partial
// contributions (one per file, say), and tells whether anything is still active.
// Lives on the GUI thread; other threads reach its slots through queued connections.
class ProgressModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ProgressRatio progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(qlonglong elapsed READ elapsed NOTIFY progressChanged)
    Q_PROPERTY(qlonglong estimated READ estimated NOTIFY progressChanged)
    Q_PROPERTY(double value READ value NOTIFY progressChanged)
    Q_PROPERTY(int percentage READ percentage NOTIFY progressChanged)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
public:
    explicit ProgressModel(QObject* parent = nullptr);

    ProgressRatio progress() const { return { m_done, m_total }; }
    qlonglong elapsed() const { return m_done; }
    qlonglong estimated() const { return m_total; }
    double value() const;
    int percentage() const;
    bool active() const { return m_active; }

    // The partial entry under `key`, or (0, 0) when there is none.
    ProgressRatio partial(const QVariant& key) const;
    int partialCount() const { return int(m_partials.size()); }

public slots:
    void setProgress(ProgressRatio ratio);
    void setProgress(qlonglong elapsed, qlonglong estimated);
    void addProgress(ProgressRatio ratio);
    void addProgress(qlonglong elapsed, qlonglong estimated);

    void setPartialProgress(qlonglong elapsed, qlonglong estimated, const QVariant& partial);
    void setPartialProgress(qlonglong elapsed, qlonglong estimated);
    void setPartialProgress(ProgressRatio ratio, const QVariant& partial);
    void setPartialProgress(ProgressRatio ratio);
    void addPartialProgress(qlonglong elapsed, qlonglong estimated, const QVariant& partial);
    void addPartialProgress(qlonglong elapsed, qlonglong estimated);
    void addPartialProgress(ProgressRatio ratio, const QVariant& partial);
    void addPartialProgress(ProgressRatio ratio);

    void setLocalProgress(qlonglong elapsed, qlonglong estimated, const QUrl& partial);
    void setLocalProgress(qlonglong elapsed, qlonglong estimated);
    void setLocalProgress(ProgressRatio ratio, const QUrl& partial);
    void setLocalProgress(ProgressRatio ratio);
    void addLocalProgress(qlonglong elapsed, qlonglong estimated, const QUrl& partial);
    void addLocalProgress(qlonglong elapsed, qlonglong estimated);
    void addLocalProgress(ProgressRatio ratio, const QUrl& partial);
    void addLocalProgress(ProgressRatio ratio);

    void setPercentage(int percentage);
    void setPartialPercentage(int percentage, const QVariant& partial);
    void setPartialPercentage(int percentage);
    void setLocalPercentage(int percentage, const QUrl& partial);
    void setLocalPercentage(int percentage);

    // Forgets every finished partial; the bottom line stays.
    void flush();
    void reset();
    void dump();

signals:
    void progressChanged();
    void activeChanged();

private:
    void changePartial(const QVariant& key, qlonglong elapsed, qlonglong estimated, bool add);
    void notify();
    static QVariant localKey(const QUrl& url);

    qlonglong m_done = 0;
    qlonglong m_total = 0;
    bool m_active = false;
    std::map<QVariant, ProgressRatio, VariantLess> m_partials;
};
