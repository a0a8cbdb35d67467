#pragma once

#include "engine/export.h"
#include "engine/exportrequest.h"
#include "engine/statefile.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <atomic>
#include <functional>
#include <map>

#include <memory>
#include <set>

class ImageViewer;
class ProgressModel;
class StreamPart;

namespace CIAPI {
class Renderer;
}

// The image service's pending exports and background renders, written one after another
// by a borrowed viewer on a pool thread (run()).
class ExportQueue : public QObject
{
    Q_OBJECT

public:
    using RequestSet = std::set<ExportRequest, ExportRequest::Order>;

    explicit ExportQueue(QObject* parent = nullptr);
    ~ExportQueue() override;

    // Adds a request (an equal one of the same file is not added twice). True when the
    // queue was idle: the caller must then hand it a writer (setWriter) and run it; while
    // a writer is current it picks the request up itself.
    bool enqueue(const QUrl& location, std::shared_ptr<StreamPart> source, int format, const QString& path,
        const Export::SizeSpec& size, int hiFi);
    // The same with the source made by the writer, off the caller's thread.
    using SourceMaker = std::function<std::shared_ptr<StreamPart>()>;
    bool enqueue(const QUrl& location, SourceMaker makeSource, int format, const QString& path,
        const Export::SizeSpec& size, int hiFi);
    // Drops every pending request and aborts the one being written.
    void abort();
    // Drops the background renders not begun of these files (their exports stay); returns
    // how many were dropped.
    int dropBackground(const QSet<QUrl>& locations);

    // The worker: writes pending requests with `writer` until the queue is empty. Does
    // nothing unless `writer` is the current writer. When it finds the queue empty it
    // gives up being current in the same step, so a request added at any moment is either
    // taken by this run or makes the next enqueue report the queue idle.
    void run(ImageViewer& writer);

    // Settings, each guarded by the queue's mutex.
    void setBackgroundProcessing(bool on);
    bool backgroundProcessing() const;
    void setPendingValue(qint64 value);
    qint64 pendingValue() const;
    void setApplyTuning(int tuningType);
    int applyTuning() const;
    void setReasonForPowerRequest(const QString& reason);
    QString reasonForPowerRequest() const;
    void setLowSpace(qint64 bytes);
    qint64 lowSpace() const;
    void setWriter(ImageViewer* writer);
    ImageViewer* writer() const;
    void setChannelOrder(int channelOrder);
    // The calibration parts of the camera that took a picture (the image service asks its
    // calibration store); none when unset.
    using Calibration = QHash<int, std::shared_ptr<StreamPart>>;
    using CalibrationProvider = std::function<Calibration(StreamPart& source)>;
    void setCalibrationProvider(CalibrationProvider provider);
    // Waits until an editor handed back with the picture has saved it, so that the export
    // reads the edits made on the canvas last; nothing is waited for when unset.
    using SaveWait = std::function<void(const QUrl& location)>;
    void setSaveWait(SaveWait wait);

    bool isIdle() const;
    int pendingCount() const;
    // The output paths of the exports queued or being written (a new export must not take
    // one of them).
    QSet<QString> claimedPaths() const;

    // Connects the progress signals to a progress model.
    static void connectProgress(ExportQueue* queue, ProgressModel* model);

signals:
    void notifyPartialProgress(int percentage, QString location);
    void notifyFlushProgress();
    void notifyResetProgress();
    // A failed export's share of the progress is dropped (it never reached 100).
    void notifyPartialDropped(QString location);
    // An export that could not be written (no file is left at `location`); `cancelled`
    // when an abort stopped it, which is no fault to tell the user of.
    void notifyExportFailed(QString location, QString reason, bool cancelled);

private:
    struct Previous
    {
        ExportRequest request;
        StateStamp state; // the picture's state file when it was written
        qint64 outputSize = -1;
    };

    // Takes the next request under the mutex; false (and the writer no longer current)
    // when there is none. `aborts` receives the number of aborts so far.
    bool take(ImageViewer& writer, ExportRequest& request, quint64& aborts);
    bool acceptBackground(const ExportRequest& request, const QString& statePath) const;
    void write(ImageViewer& writer, const ExportRequest& request, quint64 aborts, Previous& previous);
    // Whether abort() was called since the request taken when there had been `aborts`.
    bool abortedSince(quint64 aborts) const { return m_aborts.load() != aborts; }
    bool copyPrevious(const ExportRequest& request, const Previous& previous);
    // Closes a failed export's share of the progress and reports it.
    void failed(const QString& path, const QString& reason, bool cancelled = false);

    mutable QMutex m_mutex;
    QHash<QUrl, RequestSet> m_pending;
    // Pending URLs by the sequence number of their first request: all of them, and those
    // whose first request is an export (taken before background work); so a take costs
    // the same however many pictures are queued.
    std::map<quint64, QUrl> m_order;
    std::map<quint64, QUrl> m_exportOrder;
    QHash<QUrl, quint64> m_sequence;
    quint64 m_nextSequence = 0;
    // Files `url` under m_exportOrder when its first pending request is an export.
    void reorder(const QUrl& url);
    // After requests of `url` (at `it`) were taken: forgets it when none are left, else
    // files it again by its first request.
    void settle(QHash<QUrl, RequestSet>::iterator it, const QUrl& url);
    QHash<QString, int> m_claimedPaths; // export paths queued or being written, and how often
    bool m_backgroundProcessing = false;
    qint64 m_pendingValue = 0;
    int m_applyTuning = 0;
    QString m_reasonForPowerRequest;
    qint64 m_lowSpace = 0;
    ImageViewer* m_current = nullptr;
    bool m_claimed = false;
    // The renderer the worker writes an export with, while it does (abort() aborts it there,
    // never through the writer, whose renderer the worker may be replacing); and the aborts so
    // far, which the worker compares with those before its request, up to the engine's first
    // report of the write. Both changed under the mutex.
    std::shared_ptr<CIAPI::Renderer> m_writing;
    std::atomic<quint64> m_aborts { 0 };
    int m_channelOrder = 0;
    CalibrationProvider m_calibration;
    SaveWait m_saveWait;
};
