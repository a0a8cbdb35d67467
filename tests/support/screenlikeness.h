#pragma once

// Comparing what a window shows with a picture: where the picture lies on a backdrop, and
// how alike two images are once shrunk (header only).

#include <QImage>
#include <QRect>

#include <cmath>
#include <vector>

namespace ostra::test {

// The bounding box of what is neither the blue backdrop nor the canvas's shade round a crop.
inline QRect pictureBox(const QImage& image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y) & 0xffffff;
            if (p != 0x0000ff && p != 0x202020)
                box |= QRect(x, y, 1, 1);
        }
    return box;
}

// Correlation of the grey levels of two images shrunk to n x n: 1 for the same picture,
// near 0 for unrelated ones.
inline double likeness(const QImage& a, const QImage& b, int n = 16)
{
    const auto grey = [n](const QImage& image) {
        const QImage small = image.convertToFormat(QImage::Format_RGB32)
                                 .scaled(n, n, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        std::vector<double> v;
        double mean = 0, sd = 0;
        for (int p = 0; p < n * n; ++p)
            mean += v.emplace_back(qGray(small.pixel(p % n, p / n)));
        mean /= n * n;
        for (double& g : v)
            g -= mean, sd += g * g;
        sd = std::sqrt(sd / (n * n)) + 1e-9;
        for (double& g : v)
            g /= sd;
        return v;
    };
    const std::vector<double> x = grey(a), y = grey(b);
    double c = 0;
    for (size_t i = 0; i < x.size(); ++i)
        c += x[i] * y[i];
    return c / (n * n);
}

} // namespace ostra::test
