import QtQuick
import QtQuick.Controls
import "../popup"

// A push button of the settings, onboarding and update windows: the default one filled with the accent
// colour, the others plain; a focus ring while it has the keyboard.
Button {
    id: button
    required property CardTheme theme
    property bool isDefault: false

    font.pixelSize: 13
    leftPadding: 16
    rightPadding: 16
    topPadding: 5
    bottomPadding: 5
    Accessible.name: text

    background: Rectangle {
        implicitWidth: 72
        implicitHeight: 28
        radius: 6
        readonly property color base: button.isDefault ? button.theme.accent : button.theme.controlBackground
        color: button.down ? Qt.darker(base, 1.15) : button.hovered ? Qt.lighter(base, 1.06) : base
        border.width: button.visualFocus ? 2 : (button.isDefault ? 0 : 1)
        border.color: button.visualFocus ? Qt.lighter(button.theme.accent, 1.3) : button.theme.edge
    }
    contentItem: Text {
        text: button.text
        font: button.font
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: button.isDefault ? button.theme.selectedText : button.theme.primary
        opacity: button.enabled ? 1 : 0.5
    }
}
