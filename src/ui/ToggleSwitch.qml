import QtQuick

// An on/off switch with its label, drawn with plain items. `toggled` reports a click or Space; the owner
// decides what `checked` becomes.
Item {
    id: toggle
    required property CardTheme theme
    property string text
    property bool checked: false
    signal toggled()

    implicitWidth: track.width + 8 + label.implicitWidth
    implicitHeight: Math.max(track.height, label.implicitHeight)
    activeFocusOnTab: enabled
    opacity: enabled ? 1 : 0.5

    Accessible.role: Accessible.CheckBox
    Accessible.name: text
    Accessible.checkable: true
    Accessible.checked: checked
    Accessible.onToggleAction: toggle.toggled()
    Accessible.onPressAction: toggle.toggled()
    Keys.onSpacePressed: toggle.toggled()

    Rectangle {
        id: track
        anchors.verticalCenter: parent.verticalCenter
        width: 34
        height: 20
        radius: 10
        color: toggle.checked ? toggle.theme.accent : toggle.theme.tertiary
        border.width: toggle.activeFocus ? 2 : 0
        border.color: Qt.lighter(toggle.theme.accent, 1.3)
        Behavior on color { ColorAnimation { duration: 120 } }

        Rectangle {
            x: toggle.checked ? parent.width - width - 2 : 2
            anchors.verticalCenter: parent.verticalCenter
            width: 16
            height: 16
            radius: 8
            color: "white"
            Behavior on x { NumberAnimation { duration: 120 } }
        }
    }
    Text {
        id: label
        x: track.width + 8
        anchors.verticalCenter: parent.verticalCenter
        text: toggle.text
        font.pixelSize: 13
        color: toggle.theme.primary
    }
    MouseArea {
        anchors.fill: parent
        enabled: toggle.enabled
        onClicked: toggle.toggled()
    }
}
