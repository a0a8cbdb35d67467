#pragma once

#include <QObject>

// The editor canvas's enumerations, for C++ and QML alike.
class ImageEdit : public QObject
{
    Q_OBJECT

public:
    enum EditorMode {
        None = 0,
        Crop = 1,
        Refocus = 2,
        DepthEditingBrush = 3,
        DepthEditingEdgeHeal = 4,
        DepthEditingSurfHeal = 5,
        DepthEditingQuickSelect = 6,
        DepthEditingLasso = 7,
    };
    Q_ENUM(EditorMode)

    // Handed unchanged to the renderer's mode.
    enum RenderMode { Normal = 0, RefocusPoint = 1, RefocusSlider = 2, DebugView = 3, QuickSelect = 4 };
    Q_ENUM(RenderMode)

    // Reference: a press picks a point; Segmented: presses add polygon corners;
    // Trajectory: a drag draws a stroke.
    enum PickerMode { Reference = 0, Segmented = 1, Trajectory = 2 };
    Q_ENUM(PickerMode)

    // The modes 3..7 that edit the depth map.
    static bool isDepthMode(int mode) { return mode >= DepthEditingBrush && mode <= DepthEditingLasso; }
};
