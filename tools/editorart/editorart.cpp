// Draws the editor's bitmap icons and tutorial pictures into resources/. Run by hand after
// changing a drawing:
//   QT_QPA_PLATFORM=offscreen build/tools/editorart resources
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <functional>

namespace {

QString g_root;

void save(
    const QString& path, const QSize& size, const std::function<void(QPainter&)>& draw, bool jpeg = false)
{
    QImage image(size, jpeg ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    image.fill(jpeg ? QColor("#303030") : QColor(Qt::transparent));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    const QString file = g_root + "/" + path;
    QDir().mkpath(QFileInfo(file).path());
    image.save(file, nullptr, jpeg ? 80 : -1);
}

QPen pen(const QColor& c, double w)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A tutorial scene: hills behind a round subject, the step shown by a marker and, for
// the later steps, a blur band, a mask or a brush ring.
void scene(QPainter& p, int step, const QColor& accent, int kind)
{
    QLinearGradient sky(0, 0, 0, 250);
    sky.setColorAt(0, QColor("#6d8fb3"));
    sky.setColorAt(1, QColor("#c9d8e6"));
    p.fillRect(0, 0, 400, 250, sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#4f6b45"));
    p.drawEllipse(QPointF(80, 260), 200, 90);
    p.setBrush(QColor("#3c5535"));
    p.drawEllipse(QPointF(330, 270), 220, 100);
    p.setBrush(QColor("#d9a066"));
    p.drawEllipse(QPointF(200, 140), 45, 45);
    p.setBrush(QColor("#8f5b3a"));
    p.drawRect(QRectF(185, 180, 30, 60));
    if (step >= 2) {
        p.setBrush(QColor(255, 255, 255, 60 + 10 * step));
        p.drawRect(QRectF(0, 0, 400, 90));
    }
    if (kind == 1 && step >= 2) { // shaded region
        p.setBrush(QColor(0, 0, 0, 110));
        p.drawRect(QRectF(0, 0, 130, 250));
    }
    if (kind == 2 && step >= 3) { // mask over a selection
        p.setBrush(QColor(255, 80, 170, 120));
        p.drawEllipse(QPointF(290, 190), 70, 40);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(Qt::white, 3));
    p.drawEllipse(QPointF(120 + 40 * step, 120 + 10 * (step % 3)), 22, 22);
    p.setPen(pen(accent, 6));
    for (int i = 0; i < step; ++i)
        p.drawPoint(QPointF(20 + 14 * i, 20));
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    g_root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources");
    const QColor light("#dfdfdf");
    const QSize icon(32, 32);

    save("controls/images/split_handle.png", QSize(6, 40), [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor("#5a5a5a"));
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(3, 12 + 8 * i), 1.5, 1.5);
    });
    save("controls/images/filmstrip_down_arrow.png", QSize(16, 16), [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawPolyline(QPolygonF({ QPointF(3, 6), QPointF(8, 11), QPointF(13, 6) }));
    });
    save("controls/images/selectionAdd_active.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawEllipse(QRectF(4, 4, 24, 24));
        p.drawLine(QPointF(16, 10), QPointF(16, 22));
        p.drawLine(QPointF(10, 16), QPointF(22, 16));
    });
    save("controls/images/selectionSubtract_active.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawEllipse(QRectF(4, 4, 24, 24));
        p.drawLine(QPointF(10, 16), QPointF(22, 16));
    });
    save("controls/images/eyeDropper.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 3));
        p.drawLine(QPointF(7, 25), QPointF(20, 12));
        p.setPen(pen(light, 6));
        p.drawLine(QPointF(20, 12), QPointF(25, 7));
    });
    save("controls/images/help.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawEllipse(QRectF(4, 4, 24, 24));
        QPainterPath q;
        q.moveTo(12, 13);
        q.cubicTo(12, 7, 21, 7, 20, 13);
        q.cubicTo(19, 16, 16, 16, 16, 19);
        p.drawPath(q);
        p.drawPoint(QPointF(16, 23));
    });
    save("images/toolbar/transferBack.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 3));
        p.drawPolyline(QPolygonF({ QPointF(19, 7), QPointF(10, 16), QPointF(19, 25) }));
    });
    save("images/StatusBar/ImageQualityProcessing.png", QSize(24, 24), [&](QPainter& p) {
        p.setPen(pen(QColor("#f0b400"), 3));
        p.drawArc(QRectF(3, 3, 18, 18), 90 * 16, 270 * 16);
    });
    save("brushes/images/depthEffect.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawEllipse(QRectF(4, 4, 24, 24));
        for (int i = 0; i < 6; ++i) {
            const double a = i * M_PI / 3;
            p.drawLine(QPointF(16 + 5 * std::cos(a), 16 + 5 * std::sin(a)),
                QPointF(16 + 12 * std::cos(a + 0.6), 16 + 12 * std::sin(a + 0.6)));
        }
    });
    save("brushes/images/focusAdjust.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawEllipse(QRectF(9, 9, 14, 14));
        for (const QLineF& l :
            { QLineF(16, 2, 16, 8), QLineF(16, 24, 16, 30), QLineF(2, 16, 8, 16), QLineF(24, 16, 30, 16) })
            p.drawLine(l);
    });
    save("brushes/images/refineEdge.png", icon, [&](QPainter& p) {
        p.setPen(pen(light, 2));
        p.drawPolyline(QPolygonF({ QPointF(4, 26), QPointF(9, 18), QPointF(13, 22), QPointF(18, 12),
            QPointF(22, 16), QPointF(28, 6) }));
    });
    save("brushes/images/blendArea.png", icon, [&](QPainter& p) {
        QRadialGradient g(QPointF(16, 16), 13);
        g.setColorAt(0, light);
        g.setColorAt(1, Qt::transparent);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawEllipse(QRectF(3, 3, 26, 26));
    });
    save("brushes/images/matchDepth.png", icon, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(light);
        p.drawRect(QRectF(6, 10, 8, 16));
        p.drawRect(QRectF(18, 10, 8, 16));
        p.setPen(pen(light, 2));
        p.drawLine(QPointF(4, 6), QPointF(28, 6));
    });

    struct Set
    {
        const char* pattern;
        int first;
        int last;
        QColor accent;
        int kind;
    };
    const Set sets[] = { { "depthfocus-%1-2x.jpg", 1, 7, QColor("#f0b400"), 1 },
        { "refine_edge-%1.jpg", 1, 4, QColor("#3fc1ff"), 0 },
        { "blendarea-%1-2x.jpg", 1, 4, QColor("#8cff66"), 0 },
        { "matchdepth-%1-2x.jpg", 1, 6, QColor("#ff50aa"), 2 } };
    for (const Set& set : sets)
        for (int i = set.first; i <= set.last; ++i)
            save(
                QStringLiteral("Depth_Tool_Tutorials_HTML/img/") + QString::fromLatin1(set.pattern).arg(i),
                QSize(400, 250), [&](QPainter& p) { scene(p, i, set.accent, set.kind); }, true);
    return 0;
}
