// Gallery model at 100,000 files in about 1,000 day sections, with a section proxy per
// section as the gallery view keeps them: re-sorting under each ordering, a stream of
// first headers, one rating change with half the files selected and the selection
// summary attached, and the removal of 10,000 scattered rows. Every figure is printed with
// its ratio to a plain std::sort of the same files' capture times, measured here.

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QItemSelectionModel>
#include <QMap>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/iresolver.h"
#include "library/activesession.h"
#include "library/ordering.h"
#include "library/selectionaggregator.h"
#include "library/session.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"

#include <memory>
#include <set>

namespace {

constexpr int kFiles = 100000;
constexpr int kSelected = 50000;

// Answers at once from rows it was given; announces changes as the image service does.
class BenchResolver : public IResolver
{
public:
    BenchResolver()
        : m_names(IResolver::imageRoleNames())
    {
        m_rows.reserve(2 * kFiles); // the service's own tables are not what is measured
    }
    const QHash<int, QByteArray>& roleNames() const override { return m_names; }
    QMap<int, QVariant> rowFor(QUrl location) override { return m_rows.value(location); }

    void store(const QUrl& url, const QMap<int, QVariant>& row)
    {
        auto it = m_rows.find(url);
        const bool had = it != m_rows.end() && !it->isEmpty();
        if (had)
            emit modified(url);
        m_rows.insert(url, row);
        emit resolved(url);
    }

private:
    QHash<int, QByteArray> m_names;
    QHash<QUrl, QMap<int, QVariant>> m_rows;
};

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

void print(const char* what, double millis, double reference)
{
    std::printf("%-58s %10.2f ms   x%.2f\n", what, millis, millis / reference);
}

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);

    std::mt19937 random(20240501);
    std::vector<QUrl> urls;
    std::vector<QMap<int, QVariant>> rows;
    std::vector<qint64> times;
    urls.reserve(kFiles);
    rows.reserve(kFiles);
    const QDateTime origin(QDate(2021, 1, 1), QTime(8, 0));
    for (int i = 0; i < kFiles; ++i) {
        const QUrl url = QUrl::fromLocalFile(
            QStringLiteral("/photos/%1/%2/IMG_%3.vrx").arg(i % 40).arg(i % 7).arg(i, 6, 10, QChar('0')));
        // Bursts of shots: many share a second, many a day.
        const QDateTime when = origin.addSecs(qint64(random() % 1000) * 86400 + (random() % 5000));
        QMap<int, QVariant> row;
        row.insert(IResolver::Name, QStringLiteral("IMG_%1").arg(i));
        row.insert(IResolver::Timestamp, when.toString(Qt::ISODateWithMs));
        row.insert(IResolver::Location, url.toString());
        row.insert(IResolver::Rating, int(random() % 6));
        row.insert(IResolver::AspectWidth, 400.0);
        row.insert(IResolver::AspectHeight, 300.0);
        row.insert(IResolver::LargeDimension, 4000);
        row.insert(IResolver::SmallDimension, 3000);
        urls.push_back(url);
        rows.push_back(row);
        times.push_back(when.toMSecsSinceEpoch());
    }

    // Reference: a plain sort of the same capture times.
    QElapsedTimer timer;
    std::vector<qint64> sorted = times;
    std::shuffle(sorted.begin(), sorted.end(), random);
    timer.start();
    std::sort(sorted.begin(), sorted.end());
    const double reference = ms(timer.nsecsElapsed());
    std::printf("files: %d\n", kFiles);
    std::printf("%-58s %10.2f ms   x1.00\n", "reference: std::sort of 100,000 capture times", reference);

    // For scale: sorting with a comparator that parses both dates on every comparison.
    {
        std::vector<QString> texts;
        for (int i = 0; i < 20000; ++i)
            texts.push_back(rows[size_t(i)].value(IResolver::Timestamp).toString());
        timer.restart();
        std::sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
            return QDateTime::fromString(a, Qt::ISODateWithMs) < QDateTime::fromString(b, Qt::ISODateWithMs);
        });
        print("for scale: sort of 20,000 parsing dates per comparison", ms(timer.nsecsElapsed()), reference);
    }

    BenchResolver resolver;
    ActiveSession gallery;
    gallery.setResolver(&resolver);
    gallery.setSortField(QStringLiteral("timestamp"));
    for (const QUrl& url : urls)
        gallery.insertUrl(url); // offered, no headers yet

    // A section proxy per day, year and month, as the view makes one per outline row.
    std::set<std::vector<int>> paths;
    for (const QMap<int, QVariant>& row : rows) {
        const QDate day
            = QDateTime::fromString(row.value(IResolver::Timestamp).toString(), Qt::ISODateWithMs).date();
        paths.insert({ day.year() });
        paths.insert({ day.year(), day.month() });
        paths.insert({ day.year(), day.month(), day.day() });
    }
    std::vector<std::unique_ptr<SpineSection>> sections;
    for (const std::vector<int>& path : paths) {
        QVariantList branch;
        for (int key : path)
            branch.append(key);
        sections.push_back(std::make_unique<SpineSection>());
        sections.back()->setSource(&gallery);
        sections.back()->setBranch(branch);
    }

    // The stream of first headers, in the order indexing happens to finish.
    std::vector<int> order(kFiles);
    for (int i = 0; i < kFiles; ++i)
        order[size_t(i)] = i;
    std::shuffle(order.begin(), order.end(), random);
    qint64 worst = 0;
    QElapsedTimer total;
    total.start();
    for (int i : order) {
        timer.restart();
        resolver.store(urls[size_t(i)], rows[size_t(i)]);
        worst = std::max(worst, timer.nsecsElapsed());
    }
    const double stream = ms(total.nsecsElapsed());
    if (gallery.rowCount() != kFiles) {
        std::fprintf(stderr, "listed %d of %d files\n", gallery.rowCount(), kFiles);
        return 1;
    }
    QCoreApplication::processEvents();
    std::printf("sections: %d outline rows, %d section proxies\n", gallery.outlineModel()->rowCount(),
        int(sections.size()));
    print("100,000 'resolved' events under \"timestamp\": total", stream, reference);
    print("100,000 'resolved' events: worst single event", ms(worst), reference);

    for (const char* field : { "rating", "filePath", "", "timestamp", "rating" }) {
        timer.restart();
        gallery.setSortField(QString::fromLatin1(field));
        const double took = ms(timer.nsecsElapsed());
        const QByteArray label
            = QByteArray("setOrdering \"") + field + "\"" + (field[0] ? "" : " (URL text)");
        print(label.constData(), took, reference);
    }

    // Growth with the number of files: the capture-time ordering's sort (with its sections)
    // of a quarter, half and all of the files in shuffled order, each against std::sort of
    // the same number of capture times; medians of five.
    {
        std::unique_ptr<Ordering> byTime(Ordering::byTimestamp());
        for (int n : { kFiles / 4, kFiles / 2, kFiles }) {
            std::vector<double> ours;
            std::vector<double> plain;
            for (int rep = 0; rep < 5; ++rep) {
                std::vector<int> pick(order.begin(), order.begin() + n);
                std::shuffle(pick.begin(), pick.end(), random);
                QList<QUrl> list;
                std::vector<qint64> keys;
                for (int i : pick) {
                    list.append(urls[size_t(i)]);
                    keys.push_back(times[size_t(i)]);
                }
                timer.restart();
                std::sort(keys.begin(), keys.end());
                plain.push_back(ms(timer.nsecsElapsed()));
                timer.restart();
                const auto sectionsOf = byTime->sortInSections(list, &resolver);
                ours.push_back(ms(timer.nsecsElapsed()));
                if (sectionsOf.empty())
                    return 1;
            }
            std::sort(ours.begin(), ours.end());
            std::sort(plain.begin(), plain.end());
            std::printf(
                "capture-time sort with sections, %6d files: %8.2f ms against std::sort %6.2f ms   x%.2f\n",
                n, ours[2], plain[2], ours[2] / plain[2]);
        }
    }

    // One rating change with 50,000 files selected, scattered (every other row) and in one
    // block; the changed file is selected and moves.
    gallery.setSortField(QStringLiteral("rating"));
    SelectionAggregator aggregator;
    aggregator.setModel(&gallery);
    aggregator.setSelectionModel(gallery.selectionModel());
    aggregator.setRoleName(QStringLiteral("rating"));
    for (int scattered = 1; scattered >= 0; --scattered) {
        gallery.selectionModel()->clearSelection();
        QItemSelection selection;
        if (scattered) {
            for (int row = 0; row < 2 * kSelected; row += 2)
                selection.append(QItemSelectionRange(gallery.index(row, 0)));
        } else {
            selection.append(QItemSelectionRange(gallery.index(0, 0), gallery.index(kSelected - 1, 0)));
        }
        gallery.selectionModel()->select(selection, QItemSelectionModel::Select);
        if (gallery.selectionSize() != kSelected) {
            std::fprintf(stderr, "selected %d\n", gallery.selectionSize());
            return 1;
        }
        std::vector<double> samples;
        for (int k = 0; k < 15; ++k) {
            const int row = scattered ? 2 * (k * 1231 % kSelected) : k * 2311 % kSelected;
            const QUrl url = gallery.urlAt(row);
            QMap<int, QVariant> changed = resolver.rowFor(url);
            changed.insert(IResolver::Rating, (changed.value(IResolver::Rating).toInt() + 3) % 6);
            timer.restart();
            resolver.store(url, changed);
            QCoreApplication::processEvents(); // the summary's settled count
            samples.push_back(ms(timer.nsecsElapsed()));
            if (gallery.selectionSize() != kSelected) {
                std::fprintf(stderr, "selection lost: %d\n", gallery.selectionSize());
                return 1;
            }
        }
        std::sort(samples.begin(), samples.end());
        print(scattered ? "one rating change, 50,000 scattered rows selected: median"
                        : "one rating change, 50,000 rows selected in a block: median",
            samples[samples.size() / 2], reference);
        print("  worst of 15", samples.back(), reference);
    }

    // 10,000 scattered rows (every tenth) removed as a selection.
    gallery.selectionModel()->clearSelection();
    {
        QItemSelection selection;
        for (int row = 0; row < kFiles; row += 10)
            selection.append(QItemSelectionRange(gallery.index(row, 0)));
        gallery.selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    timer.restart();
    gallery.removeSelected();
    QCoreApplication::processEvents();
    const double removal = ms(timer.nsecsElapsed());
    if (gallery.rowCount() != kFiles - kFiles / 10) {
        std::fprintf(stderr, "%d rows left\n", gallery.rowCount());
        return 1;
    }
    print("removal of 10,000 scattered selected rows", removal, reference);

    // Another session opened: every row goes.
    Session other;
    timer.restart();
    gallery.setSource(&other);
    QCoreApplication::processEvents();
    print("switching to another session (90,000 rows go)", ms(timer.nsecsElapsed()), reference);
    return 0;
}
