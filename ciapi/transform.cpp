#include "ciapi/transform.h"

#include <stdexcept>

namespace CIAPI {

namespace {
// reset() codes as (quarter turns counter-clockwise in R, mirrored).
constexpr int kCodeTurns[8] = { 0, 1, 3, 3, 1, 2, 0, 2 };
constexpr bool kCodeMirror[8] = { false, false, false, true, true, true, true, false };

void multiply(const int a[4], int m[4])
{
    const int r0 = a[0] * m[0] + a[1] * m[2];
    const int r1 = a[0] * m[1] + a[1] * m[3];
    const int r2 = a[2] * m[0] + a[3] * m[2];
    const int r3 = a[2] * m[1] + a[3] * m[3];
    m[0] = r0;
    m[1] = r1;
    m[2] = r2;
    m[3] = r3;
}

void codeMatrix(int code, int m[4])
{
    if (code < 0 || code > 7)
        code = 0;
    m[0] = 1;
    m[1] = 0;
    m[2] = 0;
    m[3] = 1;
    static const int R[4] = { 0, -1, 1, 0 };
    static const int H[4] = { -1, 0, 0, 1 };
    for (int i = 0; i < kCodeTurns[code]; ++i)
        multiply(R, m);
    if (kCodeMirror[code])
        multiply(H, m);
}
} // namespace

Transform::Transform(Point<int> aspect)
    : m_aspect(aspect)
{ }

void Transform::reset(int orientation)
{
    codeMatrix(orientation, m_m);
    m_crop = RectF {};
    // The crop is kept in the picture's axes, squeezed into the turned frame: the whole
    // view of a quarter-turned picture is that frame, centred on the picture.
    if (transposed() && isSet()) {
        const float a = float(m_aspect.x) / float(m_aspect.y);
        m_crop = RectF { (1.f - 1.f / a) / 2.f, (1.f - a) / 2.f, 1.f / a, a };
    }
}

void Transform::rotate90(int quarterTurns)
{
    // R^(-k): R^-1 = [[0,1],[-1,0]].
    int k = quarterTurns % 4;
    if (k < 0)
        k += 4;
    static const int Rinv[4] = { 0, 1, -1, 0 };
    for (int i = 0; i < k; ++i)
        multiply(Rinv, m_m);
}

void Transform::flipHorizontal()
{
    static const int H[4] = { -1, 0, 0, 1 };
    multiply(H, m_m);
}

void Transform::flipVertical()
{
    static const int V[4] = { 1, 0, 0, -1 };
    multiply(V, m_m);
}

std::vector<float> Transform::matrix(Point<int>) const
{
    return { static_cast<float>(m_m[0]), static_cast<float>(m_m[1]), 0.f, static_cast<float>(m_m[2]),
        static_cast<float>(m_m[3]), 0.f };
}

void Transform::setMatrix(int m00, int m01, int m10, int m11)
{
    const int candidate[4] = { m00, m01, m10, m11 };
    for (int code = 0; code < 8; ++code) {
        int m[4];
        codeMatrix(code, m);
        if (m[0] == candidate[0] && m[1] == candidate[1] && m[2] == candidate[2] && m[3] == candidate[3]) {
            for (int i = 0; i < 4; ++i)
                m_m[i] = m[i];
            return;
        }
    }
    throw std::invalid_argument("Not an orientation matrix");
}

int Transform::orientationCode() const
{
    for (int code = 0; code < 8; ++code) {
        int m[4];
        codeMatrix(code, m);
        if (m[0] == m_m[0] && m[1] == m_m[1] && m[2] == m_m[2] && m[3] == m_m[3])
            return code;
    }
    return 0;
}

bool Transform::operator==(const Transform& o) const
{
    return m_aspect == o.m_aspect && m_m[0] == o.m_m[0] && m_m[1] == o.m_m[1] && m_m[2] == o.m_m[2]
        && m_m[3] == o.m_m[3] && m_crop == o.m_crop;
}

} // namespace CIAPI
