#pragma once

#include "ciapi/image.h"

#include <vector>

namespace CIAPI {

// A rectangle in normalised coordinates of the unrotated image.
struct RectF
{
    float x = 0.f;
    float y = 0.f;
    float width = 1.f;
    float height = 1.f;
    bool operator==(const RectF& o) const
    {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
    bool operator!=(const RectF& o) const { return !(*this == o); }
};

// One of the eight quarter-turn rotations and mirrors (an integer 2 x 2 matrix M),
// a crop and the image's aspect ratio.
//
// Orientation codes for reset(): 0 -> 0 deg, 1 -> 90, 2 -> 270, 3 -> 270 mirrored,
// 4 -> 90 mirrored, 5 -> 180 mirrored, 6 -> 0 mirrored, 7 -> 180. "r degrees,
// mirrored" means M = H * R^(r/90) with R = [[0,-1],[1,0]] and H = diag(-1, 1).
// M acts on picture coordinates with y pointing up: R turns the picture counter-clockwise
// as seen on screen (its right side comes to the top) and H mirrors the turned picture
// left to right. Export and display both follow this.
class Transform
{
public:
    // Unset: aspectRatio() is (0, 0), identity matrix, full crop.
    Transform() = default;
    explicit Transform(Point<int> aspect);

    // M <- the matrix of the orientation code (codes outside 0..7 count as 0); the crop
    // becomes the whole view: the full frame, or for a quarter turn of a set aspect the
    // turned frame centred on the picture ((1 - 1/a) / 2, (1 - a) / 2, 1/a, a).
    void reset(int orientation);
    // M <- R^(-k) * M, any sign of k.
    void rotate90(int quarterTurns);
    // M <- diag(-1, 1) * M.
    void flipHorizontal();
    // M <- diag(1, -1) * M.
    void flipVertical();

    Point<int> aspectRatio() const { return m_aspect; }
    void setAspectRatio(Point<int> aspect) { m_aspect = aspect; }
    bool isSet() const { return m_aspect.x != 0 && m_aspect.y != 0; }
    explicit operator bool() const { return isSet(); }

    // Stored exactly as given, never clamped.
    RectF crop() const { return m_crop; }
    void setCrop(const RectF& crop) { m_crop = crop; }

    // Six floats, row-major 2 x 3: [m00 m01 0; m10 m11 0]. The entries are those of M
    // (-1, 0 or 1) whatever the aspect; the argument is accepted so that callers can pass
    // the aspect they display with.
    std::vector<float> matrix(Point<int> aspect) const;
    std::vector<float> matrix() const { return matrix(m_aspect); }

    // The four entries of M, row-major.
    int m(int i) const { return m_m[i]; }
    // Sets M directly; the entries must form one of the eight orientations, else
    // std::invalid_argument.
    void setMatrix(int m00, int m01, int m10, int m11);
    // The orientation code whose reset() gives the current M.
    int orientationCode() const;
    // Whether M swaps the axes (a quarter turn).
    bool transposed() const { return m_m[0] == 0; }

    bool operator==(const Transform& o) const;
    bool operator!=(const Transform& o) const { return !(*this == o); }

private:
    Point<int> m_aspect { 0, 0 };
    int m_m[4] = { 1, 0, 0, 1 };
    RectF m_crop;
};

} // namespace CIAPI
