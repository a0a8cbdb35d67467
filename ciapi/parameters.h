#pragma once

namespace CIAPI {

// Numbered engine parameters. The four kinds are separate: float 13 and integer 13 are
// different parameters. Any number may be used with any kind; the named ones are those
// the engine itself reads or fills. Write `CIAPI::FloatParam{13}` for a bare number.
enum class IntParam : int {
    Iso = 0, // read-only
    FocalLength = 1, // mm
    Orientation = 2, // orientation code 0..7
    AspectMode = 3, // 1 = 16:9, else 4:3
    CaptureTime = 4, // seconds since the epoch
    UtcOffset = 5, // minutes
    Compressed = 6, // 0 or 1
    FrameCount = 7,
    UserRating = 8, // read-write; survives serialize, deserialize and reset
    ChannelOrderBGRA = 10, // 1 = BGRA output
    Interactive = 11, // fast rendering
    HighFidelity = 12, // high-fidelity export
    EagerDepth = 13, // depth may be computed without being asked
    ExportColorSpace = 19, // 4 sRGB, 0 camera linear, 1 linear float
};

enum class FloatParam : int {
    DepthOfField = 0, // f-number
    FocusDepth = 1,
    Exposure = 2, // EV
    Temperature = 3, // K
    Tint = 4,
    Contrast = 7,
    Saturation = 8,
    Vibrance = 9,
    Sharpening = 13,
    MinDepthOfField = 14,
    MaxDepthOfField = 16,
    ExposureTime = 17, // ms
    EvOffset = 18,
};

enum class IntArrayParam : int {
    CameraUuid = 0, // four 32-bit words; as two little-endian 64-bit words: the camera's UUID
    PictureUuid = 1, // four 32-bit words, big-endian order of the UUID's bytes
};

enum class FloatArrayParam : int {
    DepthRange = 0, // {near, far}
    BackgroundColor = 5, // RGBA, 0..1
};

// State stream types for Renderer::serialize / deserialize.
enum StateType : int {
    StateSettings = 0, // settings, plus the thumbnail when one was rendered
    StateProfile = 1, // whatever the renderer's profile can use
    StateFull = 2, // settings, depth, depth edits, thumbnail
};

// Values passed to a renderer's state-change listener.
enum StateChange : int {
    StateChangeBusy = 0,
    StateChangeIdle1 = 1,
    StateChangeDepthForDofAvailable = 2,
    StateChangeDepthForEditingAvailable = 3,
    StateChangeDone = 4,
};

enum ExportImageFormat : int {
    ExportJPEG = 0,
    ExportPPM = 1,
    ExportDNG = 2,
    ExportHDR = 3,
};

} // namespace CIAPI
