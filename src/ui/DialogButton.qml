import QtQuick

// A push button of the settings and update windows, drawn with plain items (the controls library would
// stay in memory for the rest of the run once loaded): the default one filled with the accent colour, the
// others plain; a focus ring while it has the keyboard. Space and Return press it.
Rectangle {
    id: button
    required property CardTheme theme
    property string text
    property bool isDefault: false
    readonly property bool down: mouse.pressed
    signal clicked()

    implicitWidth: Math.max(72, label.implicitWidth + 32)
    implicitHeight: 28
    radius: 6
    activeFocusOnTab: true
    readonly property color base: isDefault ? theme.accent : theme.controlBackground
    color: down ? Qt.darker(base, 1.15) : mouse.containsMouse ? Qt.lighter(base, 1.06) : base
    border.width: activeFocus ? 2 : (isDefault ? 0 : 1)
    border.color: activeFocus ? Qt.lighter(theme.accent, 1.3) : theme.edge

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.onPressAction: button.clicked()
    Keys.onSpacePressed: button.clicked()
    Keys.onReturnPressed: button.clicked()
    Keys.onEnterPressed: button.clicked()

    Text {
        id: label
        anchors.centerIn: parent
        text: button.text
        font.pixelSize: 13
        color: button.isDefault ? button.theme.selectedText : button.theme.primary
    }
    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        onClicked: button.clicked()
    }
}
