// The sample generator's trees and variants, read back through the engine.
#include "ciapi/ciapi.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/cameratree.h"
#include "tools/vrxgen/generator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

using namespace CIAPI;

namespace {
std::shared_ptr<std::istream> fileStream(const QString& path)
{
    return std::make_shared<std::ifstream>(path.toStdString(), std::ios::binary);
}

// The ASCII value of a tag in the first IFD of a preview's EXIF block, read independently.
QString ifd0Text(const QByteArray& jpeg, quint16 wanted, bool* bigEndian)
{
    const int app1 = jpeg.indexOf(QByteArray("Exif\0\0", 6));
    if (app1 < 0)
        return {};
    const int tiff = app1 + 6;
    const bool big = jpeg[tiff] == 'M';
    *bigEndian = big;
    auto u16 = [&](int at) {
        const auto a = static_cast<quint8>(jpeg[tiff + at]);
        const auto b = static_cast<quint8>(jpeg[tiff + at + 1]);
        return big ? quint16(a << 8 | b) : quint16(b << 8 | a);
    };
    auto u32 = [&](int at) {
        const quint32 lo = u16(big ? at + 2 : at);
        const quint32 hi = u16(big ? at : at + 2);
        return hi << 16 | lo;
    };
    const int ifd = static_cast<int>(u32(4));
    const int n = u16(ifd);
    for (int i = 0; i < n; ++i) {
        const int e = ifd + 2 + 12 * i;
        if (u16(e) != wanted)
            continue;
        const int count = static_cast<int>(u32(e + 4));
        const int at = count <= 4 ? e + 8 : static_cast<int>(u32(e + 8));
        return QString::fromLatin1(jpeg.mid(tiff + at, count - 1));
    }
    return {};
}
} // namespace

class TestVrxgen : public QObject
{
    Q_OBJECT

private slots:
    void cameraTree()
    {
        QTemporaryDir dir;
        vrxgen::TreeOptions o;
        o.pictures = 6;
        o.usb = true;
        vrxgen::TreeInfo info;
        QVERIFY(vrxgen::makeCameraTree(dir.path().toStdString(), o, &info));
        QVERIFY(QDir(dir.path() + "/Z40CD0042/Z40CAM").exists());
        QVERIFY(QDir(dir.path() + "/Z40SD0042").exists());
        QVERIFY(QFile::exists(dir.path() + "/Z40CD0042/metadata.xml"));
        QVERIFY(QFile::exists(dir.path() + "/Z40CD0042/hotpixel.rec"));
        const QString pics = QString::fromStdString(info.pictureRoot);
        bool sawBig = false;
        bool sawLittle = false;
        for (std::size_t i = 0; i < info.pictures.size(); ++i) {
            const QString base = pics + "/" + QString::fromStdString(info.pictures[i]);
            QFile jpg(base + ".jpg");
            QVERIFY(jpg.open(QIODevice::ReadOnly));
            const QByteArray bytes = jpg.readAll();
            QVERIFY(jpg.size() < 2 * 1024 * 1024);
            bool big = false;
            const QString description = ifd0Text(bytes, 0x010E, &big);
            (big ? sawBig : sawLittle) = true;
            const QString unique = ifd0Text(bytes, 0xA420, &big);
            QCOMPARE(unique.size(), 32);
            QCOMPARE(QString(description).remove('-'), unique);

            // The raw file's picture UUID is the one the preview names.
            PropertyAccessor acc;
            acc.setInputDataStream(fileStream(base + ".vrx"));
            const auto words = acc.getProperty(IntArrayParam::PictureUuid);
            QCOMPARE(QString::asprintf("%08x%08x%08x%08x", words[0], words[1], words[2], words[3]), unique);

            const QFileInfo state(base + ".vrxs");
            if (state.exists()) {
                std::ifstream in(state.filePath().toStdString(), std::ios::binary);
                StateFileEditor editor(in);
                QCOMPARE(editor.userRating(), info.stars[i]);
                QCOMPARE(editor.hasThumbnail(), state.size() > 16384);
                const auto id = editor.imageID();
                QCOMPARE(id, words);
            }
        }
        QVERIFY(sawBig && sawLittle);
        QVERIFY(QFile::exists(pics + "/VID_0001.mp4"));
        QVERIFY(QFile::exists(pics + "/VID_0001_thumbnail.jpg"));
        QCOMPARE(QDir(pics).entryList({ "*.qpf" }).size(), 2);
    }
};

OSTRA_TEST_MAIN_CORE(TestVrxgen)
#include "tst_vrxgen.moc"
