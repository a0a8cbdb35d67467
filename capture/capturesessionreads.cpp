// How a CaptureSession reads the files it takes in: on a thread of its own, one batch after
// another, taken in on the GUI thread in the order they came.
#include "capture/capturesession.h"
#include "capture/filekind.h"

#include "core/replytarget.h"
#include "pipeline/ipipeline.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <optional>

namespace {

QString fileNameOf(const QUrl& location)
{
    return QFileInfo(location.toLocalFile()).fileName();
}

// What the session's thread does with one file.
enum class Read { Nothing, Preview, State, Metadata, Calibration };

struct Job
{
    Read read = Read::Nothing;
    QString path;
    QString shown; // the preview on screen, whose presence is checked
};

} // namespace

void CaptureSession::parseComponent(int role, QModelIndex index, QUrl location)
{
    Arrival arrival = itemArrival(location, Recipe(), role, index, false);
    arrival.finish = false;
    readThenTake({ arrival }, false);
}

void CaptureSession::parseThumbnail(QModelIndex index, QUrl location)
{
    parseComponent(PreviewKind, index, location);
}

void CaptureSession::parseStateFile(QModelIndex index, QUrl location)
{
    parseComponent(StateKind, index, location);
}

void CaptureSession::parseMetadata(QUrl location)
{
    Arrival arrival;
    arrival.location = location;
    arrival.reserved = QStringLiteral("metadata.xml");
    arrival.finish = false;
    readThenTake({ arrival }, false);
}

void CaptureSession::readThenTake(const QList<Arrival>& arrivals, bool quiet)
{
    Batch batch { arrivals, quiet };
    // Only plain values go to the thread: the rows stay here.
    QVector<Job> jobs;
    for (Arrival& arrival : batch.arrivals) {
        Job job;
        job.path = arrival.location.toLocalFile();
        if (arrival.role == 0) {
            if (arrival.reserved == QLatin1String("metadata.xml"))
                job.read = Read::Metadata;
            else if (arrival.reserved == QLatin1String("hotpixel.rec"))
                job.read = Read::Calibration;
        } else if (const QStandardItem* item = itemOf(arrival.row);
                   item && fileNameOf(arrival.location) == item->data(arrival.role + FileName).toString()) {
            if (arrival.role == PreviewKind) {
                job.read = Read::Preview;
                arrival.shown = item->data(LocationRole).toUrl();
                job.shown = arrival.shown.toLocalFile();
            } else if (arrival.role == StateKind) {
                job.read = Read::State;
            }
        }
        jobs.append(job);
    }
    m_reading.append(batch);
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reads.start([this, replies, jobs] {
        std::vector<Reading> readings(size_t(jobs.size()));
        for (int i = 0; i < jobs.size(); ++i) {
            const Job& job = jobs.at(i);
            Reading& reading = readings[size_t(i)];
            switch (job.read) {
            case Read::Preview:
                reading.preview = CaptureFileReader::readPreview(QUrl::fromLocalFile(job.path));
                reading.shownExists = !job.shown.isEmpty() && QFileInfo::exists(job.shown);
                break;
            case Read::State:
                reading.state = CaptureFileReader::readState(job.path);
                break;
            case Read::Metadata:
                reading.metadata = CaptureFileReader::readMetadata(job.path);
                break;
            case Read::Calibration:
                reading.camera = CaptureFileReader::readCalibrationCamera(job.path);
                break;
            case Read::Nothing:
                break;
            }
        }
        replies->post([this, readings] { take(readings); });
    });
}

void CaptureSession::take(const std::vector<Reading>& readings)
{
    if (m_reading.isEmpty())
        return;
    const Batch batch = m_reading.takeFirst();
    if (!m_live)
        return;
    const bool wasCorrelated = m_correlated;
    int first = INT_MAX;
    int last = -1;
    {
        std::optional<QSignalBlocker> quiet;
        if (batch.quiet)
            quiet.emplace(this);
        m_taking = true;
        for (int i = 0; i < batch.arrivals.size() && size_t(i) < readings.size(); ++i) {
            const Arrival& arrival = batch.arrivals.at(i);
            if (arrival.role == 0) {
                applyReserved(arrival, readings.at(size_t(i)));
                continue;
            }
            QStandardItem* item = itemOf(arrival.row);
            // The item may have lost the file meanwhile.
            if (item && fileNameOf(arrival.location) == item->data(arrival.role + FileName).toString()) {
                if (arrival.role == PreviewKind)
                    applyPreview(item, arrival, readings.at(size_t(i)));
                else if (arrival.role == StateKind)
                    applyState(item, arrival, readings.at(size_t(i)).state);
            }
            if (item) {
                first = std::min(first, item->row());
                last = std::max(last, item->row());
            }
            if (arrival.finish) {
                IPipeline* requests = qobject_cast<IPipeline*>(m_pipeline.data());
                if (arrival.queue && requests)
                    requests->putRecipe(QUuid(), arrival.location, arrival.recipe, Arbiter(false, false));
                finishItem(arrival.location, arrival.recipe, arrival.role, arrival.row, arrival.preexisting);
            }
        }
        m_taking = false;
        checkCorrelation();
    }
    if (batch.quiet) {
        if (last >= 0)
            emit dataChanged(index(first, 0), index(last, 0));
        if (!wasCorrelated && m_correlated)
            emit notifyCorrelated(true);
    }
}

void CaptureSession::applyPreview(QStandardItem* item, const Arrival& arrival, const Reading& reading)
{
    const CaptureFileReader::Preview& preview = reading.preview;
    // A preview whose EXIF cannot be read leaves its item as it is.
    if (!preview.read)
        return;
    item->setData(preview.width, AspectWidthRole);
    item->setData(preview.height, AspectHeightRole);
    item->setData(preview.orientation, OrientationRole);
    if (!preview.image.isNull())
        item->setData(preview.image, ImageUuidRole);
    if (!preview.dateTime.isEmpty())
        item->setData(preview.dateTime, TimestampRole);
    const QString name = fileNameOf(arrival.location);
    if (m_pendingStars.contains(name)) {
        const int stars = m_pendingStars.take(name);
        if (stars != 0 && item->data(RatingRole).toInt() < 1)
            item->setData(stars, RatingRole);
    }
    // A preview on screen keeps its file: the copy an import makes of it would have the
    // cell load the picture again, and show nothing meanwhile. One shown since the read was
    // asked for is a file just read.
    const QUrl shown = item->data(LocationRole).toUrl();
    if (shown.isEmpty() || (shown == arrival.shown && !reading.shownExists))
        item->setData(arrival.location, LocationRole);
}

void CaptureSession::applyState(
    QStandardItem* item, const Arrival& arrival, const CaptureFileReader::State& state)
{
    if (state.edited)
        item->setData(true, EditedRole);
    // The state file's rating stands; one it lacks leaves a rating from "metadata.xml",
    // so the result does not depend on which of the two was read first.
    if (state.rating > 0 || item->data(RatingRole).toInt() < 1)
        item->setData(state.rating, RatingRole);
    item->setData(arrival.location, VrxStateRole);
}

void CaptureSession::applyReserved(const Arrival& arrival, const Reading& reading)
{
    if (arrival.reserved == QLatin1String("metadata.xml") && reading.metadata.read)
        applyMetadata(reading.metadata);
    if (arrival.reserved == QLatin1String("hotpixel.rec")) {
        // The camera's calibration names the camera itself: the UUID its raw files carry
        // and under which their imports are remembered.
        if (!reading.camera.isNull() && reading.camera != m_deviceUuid) {
            m_deviceUuid = reading.camera;
            emit deviceUuidChanged();
        }
    }
    if (arrival.finish)
        emit notifyReserved(arrival.reserved, arrival.location);
}

void CaptureSession::applyMetadata(const CaptureFileReader::Metadata& metadata)
{
    m_pendingStars = metadata.stars;
    int first = INT_MAX;
    int last = -1;
    {
        const QSignalBlocker quiet(this);
        for (int row = 0; row < QStandardItemModel::rowCount(); ++row) {
            QStandardItem* item = this->item(row);
            if (item->data(RatingRole).toInt() >= 1)
                continue;
            const int value = metadata.stars.value(item->data(ThmFileNameRole).toString());
            if (value == 0)
                continue;
            item->setData(value, RatingRole);
            first = std::min(first, row);
            last = std::max(last, row);
        }
    }
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, 0), { RatingRole });
    emit videoMetadataReceived(metadata.videos);
}
