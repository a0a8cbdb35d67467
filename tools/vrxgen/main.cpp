#include "tools/vrxgen/cameratree.h"
#include "tools/vrxgen/generator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Prints the usage to the given stream; asked for, it goes to standard output.
int usage(std::FILE* out = stderr, int status = 2)
{
    std::fprintf(out,
        "usage: vrxgen picture <file.vrx> [--seed N] [--size WxH] [--modules N] [--frames N]\n"
        "                      [--orientation 0-7] [--aspect 0|1] [--focal MM] [--compressed]\n"
        "                      [--no-preview] [--hot N]\n"
        "       vrxgen demo <folder> [--count N]\n"
        "       vrxgen camera <folder> [--usb] [--pictures N] [--serial S] [--marker NAME]\n"
        "       vrxgen variants <folder>\n"
        "       vrxgen --help\n");
    return status;
}

bool parseSize(const char* text, int* w, int* h)
{
    return std::sscanf(text, "%dx%d", w, h) == 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout, 0);
    if (argc < 3)
        return usage();
    const std::string command = argv[1];
    if (command == "picture") {
        vrxgen::PictureOptions o;
        for (int i = 3; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
            if (a == "--seed")
                o.seed = static_cast<std::uint32_t>(std::strtoul(value(), nullptr, 10));
            else if (a == "--size") {
                if (!parseSize(value(), &o.moduleWidth, &o.moduleHeight))
                    return usage();
            } else if (a == "--modules")
                o.modules = std::atoi(value());
            else if (a == "--frames")
                o.frames = std::atoi(value());
            else if (a == "--orientation")
                o.orientation = std::atoi(value());
            else if (a == "--aspect")
                o.aspectMode = std::atoi(value());
            else if (a == "--focal")
                o.focalLength = std::atoi(value());
            else if (a == "--compressed")
                o.compressed = true;
            else if (a == "--no-preview")
                o.preview = false;
            else if (a == "--hot")
                o.hotPixelsPerModule = std::atoi(value());
            else
                return usage();
        }
        try {
            const auto pic = vrxgen::makePicture(o);
            if (!vrxgen::writeFile(argv[2], pic.vrx)) {
                std::fprintf(stderr, "vrxgen: cannot write %s\n", argv[2]);
                return 1;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vrxgen: %s\n", e.what());
            return 1;
        }
        return 0;
    }
    if (command == "demo") {
        int count = 30;
        if (argc >= 5 && std::string(argv[3]) == "--count")
            count = std::atoi(argv[4]);
        if (!vrxgen::makeDemoLibrary(argv[2], count)) {
            std::fprintf(stderr, "vrxgen: cannot make the demo library in %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (command == "camera") {
        vrxgen::TreeOptions o;
        for (int i = 3; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
            if (a == "--usb")
                o.usb = true;
            else if (a == "--pictures")
                o.pictures = std::atoi(value());
            else if (a == "--serial")
                o.serial = value();
            else if (a == "--marker")
                o.marker = value();
            else
                return usage();
        }
        if (!vrxgen::makeCameraTree(argv[2], o)) {
            std::fprintf(stderr, "vrxgen: cannot make the camera tree in %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (command == "variants")
        return vrxgen::makeVariants(argv[2]) ? 0 : 1;
    return usage();
}
