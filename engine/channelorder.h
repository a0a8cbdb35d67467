#pragma once

// The GL pixel formats that rendered pictures come in, one definition for the image
// service, the display items and the GL probe. BGRA is used unless the probe finds a
// context without "GL_EXT_bgra" or the settings ask for the fail-safe GPU setup.
namespace ChannelOrder {

constexpr int kGlRgba = 0x1908; // GL_RGBA
constexpr int kGlBgra = 0x80E1; // GL_BGRA
constexpr int kDefault = kGlBgra;

// Whether the engine must render blue first for `order`.
constexpr bool isBgra(int order)
{
    return order == kGlBgra;
}

} // namespace ChannelOrder
