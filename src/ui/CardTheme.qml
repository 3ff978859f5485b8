import QtQuick

// The colours of the card and notices, dark or light after the application palette.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool dark: palette.window.hslLightness < 0.5

    readonly property color primary: palette.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, dark ? 0.55 : 0.5)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, dark ? 0.28 : 0.26)
    readonly property color accent: palette.highlight
    readonly property color link: dark ? "#6cb4ff" : "#0a5fd0"
    readonly property color red: dark ? "#ff453a" : "#ff3b30"
    readonly property color green: dark ? "#30d158" : "#248a3d"
    readonly property color controlBackground: dark ? Qt.lighter(palette.window, 1.35) : palette.base
    readonly property color textBackground: dark ? Qt.lighter(palette.window, 1.35) : palette.base
    // Opaque: on a compositor the window's body would otherwise let what is behind it show through.
    readonly property color material: dark ? Qt.rgba(0.16, 0.16, 0.17, 1) : Qt.rgba(0.96, 0.96, 0.965, 1)
    readonly property color edge: dark ? Qt.rgba(1, 1, 1, 0.14) : Qt.rgba(0, 0, 0, 0.16)
    readonly property color divider: dark ? Qt.rgba(1, 1, 1, 0.45) : Qt.rgba(0, 0, 0, 0.4)
    // Behind code in an answer: a band a shade off the card.
    readonly property color codeBackground: Qt.rgba(primary.r, primary.g, primary.b, dark ? 0.10 : 0.06)
    readonly property color selection: palette.highlight
    readonly property color selectedText: palette.highlightedText
}
