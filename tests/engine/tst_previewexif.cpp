// The generated camera previews carry, in their EXIF orientation tag, the orientation of the
// raw picture beside them, as the EXIF standard means it and as the engine turns pictures.
#include "ciapi/propertyaccessor.h"
#include "ciapi/transform.h"
#include "engine/exifreader.h"
#include "support/testmain.h"
#include "tools/vrxgen/cameratree.h"
#include "tools/vrxgen/exifjpeg.h"

#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace {

enum Side { Top, Right, Bottom, Left };

// Where the stored picture's first row and first column end up when it is shown, for each
// EXIF orientation value (the wording of the standard: "the 0th row is the visual top,
// the 0th column the visual left-hand side" and so on).
struct ExifMeaning
{
    int value;
    Side row0;
    Side column0;
};
const ExifMeaning kExif[] = {
    { 1, Top, Left },
    { 2, Top, Right },
    { 3, Bottom, Right },
    { 4, Bottom, Left },
    { 5, Left, Top },
    { 6, Right, Top },
    { 7, Right, Bottom },
    { 8, Left, Bottom },
};

// The side an outward direction (dx, dy) with y pointing down names.
Side sideOf(int dx, int dy)
{
    if (dy < 0)
        return Top;
    if (dy > 0)
        return Bottom;
    return dx > 0 ? Right : Left;
}

// The EXIF value whose meaning the transform's matrix has. The matrix acts with y pointing
// up; the picture's rows run with y pointing down, so it is conjugated with diag(1, -1).
int exifValueOf(const CIAPI::Transform& transform)
{
    const std::vector<float> m = transform.matrix({ 4, 3 });
    // diag(1,-1) * [[a, b], [c, d]] * diag(1,-1) = [[a, -b], [-c, d]]
    const int a = int(m[0]), b = -int(m[1]), c = -int(m[3]), d = int(m[4]);
    // Where the first row (the top edge, (0, -1)) and the first column (the left edge,
    // (-1, 0)) go.
    const Side row0 = sideOf(-b, -d), column0 = sideOf(-a, -c);
    for (const ExifMeaning& e : kExif) {
        if (e.row0 == row0 && e.column0 == column0)
            return e.value;
    }
    return 0;
}

int orientationTag(const QString& jpeg)
{
    int value = 0;
    Exif::Callbacks callbacks;
    callbacks.directory = [&](quint64 index, const Exif::Directory& dir, QIODevice&) {
        if (index != 0)
            return;
        if (const Exif::ExifEntry* entry = dir.find(0x0112))
            value = int(entry->toInt().value_or(0));
    };
    Exif::readExifFromFile(QUrl::fromLocalFile(jpeg), callbacks);
    return value;
}

} // namespace

class TestPreviewExif : public QObject
{
    Q_OBJECT

private slots:
    void turnsAndMirrorsMeanWhatTheEngineDoes()
    {
        // The two quarter turns tell counter-clockwise from clockwise; the mirrored ones
        // tell which way the mirror goes after the turn.
        CIAPI::Transform t({ 4, 3 });
        t.reset(1);
        QCOMPARE(exifValueOf(t), 8);
        t.reset(2);
        QCOMPARE(exifValueOf(t), 6);
        for (int code = 0; code < 8; ++code) {
            t.reset(code);
            QVERIFY2(exifValueOf(t) != 0, qPrintable(QString::number(code)));
            QCOMPARE(vrxgen::exifOrientationFor(code), exifValueOf(t));
        }
    }

    void previewsOfACameraTreeAgreeWithTheirRawFiles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        vrxgen::TreeOptions options;
        options.pictures = 8; // every orientation code once
        options.videos = 0;
        options.presets = 0;
        options.moduleWidth = 64;
        options.moduleHeight = 48;
        options.hotPixelsPerModule = 0;
        vrxgen::TreeInfo info;
        QVERIFY(vrxgen::makeCameraTree(dir.path().toStdString(), options, &info));
        QCOMPARE(int(info.pictures.size()), 8);
        QSet<int> seen;
        for (const std::string& name : info.pictures) {
            const QString base
                = QString::fromStdString(info.pictureRoot) + "/" + QString::fromStdString(name);
            QFile raw(base + ".vrx");
            QVERIFY(raw.open(QIODevice::ReadOnly));
            const QByteArray bytes = raw.readAll();
            CIAPI::PropertyAccessor accessor;
            accessor.setInputDataStream(bytes.constData(), size_t(bytes.size()));
            const int code = int(accessor.getProperty(CIAPI::IntParam { 2 }));
            seen.insert(code);
            CIAPI::Transform t({ 4, 3 });
            t.reset(code);
            QCOMPARE(orientationTag(base + ".jpg"), exifValueOf(t));
        }
        QCOMPARE(seen.size(), 8);
    }
};

OSTRA_TEST_MAIN_CORE(TestPreviewExif)
#include "tst_previewexif.moc"
