pragma Singleton
import QtQuick 2.15
import com.quelt.ostra 2.0

// The colours, sizes and fonts of every view.
QtObject {
    id: style

    // Colours
    readonly property color windowBackground: "black"
    readonly property color imagesBackground: "#0E0E0E"
    readonly property color dialogBackground: "#181818"
    readonly property color dialogAccent: "#2B2B2B"
    readonly property color sortBar: "#1E1E1E"
    readonly property color dimText: "#878686"
    readonly property color disabledText: "#505050"
    readonly property color mainButton: "#00b1ed"
    readonly property color mainButtonHover: "#4accf3"
    readonly property color mainButtonPressed: "#0590d6"
    readonly property color mainText: "#dfdfdf"
    readonly property color mainTextHover: "#ffffff"
    readonly property color mainTextPressed: "#bfbfbf"
    readonly property color secondaryButton: "#808080"
    readonly property color secondaryButtonHover: "#9f9f9f"
    readonly property color tertiaryButtonHover: "#606060"
    readonly property color tertiaryButtonPressed: "#404040"
    readonly property color footerLine: "#424242"
    readonly property color semiTransparentLabel: "#80000000"
    readonly property color statusText: "white"
    readonly property color border: "#aaaaaa"
    // Text on the light fills (main and secondary buttons), which light text cannot be read
    // on; the pressed secondary fill is dark and keeps the pressed main text.
    readonly property color buttonText: "black"

    // Sizes
    readonly property int fontSizeSmall: 11
    readonly property int fontSizeNormal: 13
    readonly property int fontSizeTitle: 18
    readonly property int fontSizeHeadline: 24
    readonly property int buttonHeight: 32
    readonly property int buttonRadius: 16
    readonly property int circleButtonSize: 36
    readonly property int bottomBarHeight: 48
    readonly property int spacing: 8
    readonly property int margin: 12
    readonly property int notificationLifetimeMs: 4000

    // Fonts: the bundled faces, unless the user asked for the system's font (or a face
    // could not be loaded).
    readonly property bool useCustomFonts: typeof noCustomFonts === "undefined" || !noCustomFonts
    readonly property string defaultFamily: defaultFont.name
    readonly property string fontThin: familyOf(thinLoader)
    readonly property string fontRegular: familyOf(regularLoader)
    readonly property string fontSemiBold: familyOf(semiBoldLoader)

    function familyOf(loader) {
        return useCustomFonts && loader.status === FontLoader.Ready ? loader.name : defaultFamily
    }

    readonly property DefaultFont defaultFont: DefaultFont {}
    readonly property FontLoader thinLoader: FontLoader {
        source: style.useCustomFonts ? "qrc:/fonts/OpenSans-Light.ttf" : ""
    }
    readonly property FontLoader regularLoader: FontLoader {
        source: style.useCustomFonts ? "qrc:/fonts/OpenSans-Regular.ttf" : ""
    }
    readonly property FontLoader semiBoldLoader: FontLoader {
        source: style.useCustomFonts ? "qrc:/fonts/OpenSans-Semibold.ttf" : ""
    }
}
