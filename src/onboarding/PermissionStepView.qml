import QtQuick
import "../ui"

// One onboarding step: its icon, what it is for, and the button that asks the desktop, which turns into
// "Permission granted!" once the step's model sees it granted.
Item {
    id: card
    required property QtObject model
    required property CardTheme theme
    property string icon
    property color iconColor
    property string title
    property string description
    property string buttonLabel
    readonly property bool granted: model.granted

    implicitWidth: 480
    implicitHeight: column.implicitHeight

    Column {
        id: column
        x: 40
        width: parent.width - 80
        spacing: 20

        Item {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 72
            height: 72

            Rectangle {
                anchors.fill: parent
                radius: 36
                color: Qt.rgba(card.iconColor.r, card.iconColor.g, card.iconColor.b, 0.12)
            }
            TintedIcon {
                id: symbol
                anchors.centerIn: parent
                name: card.granted ? "checkmark.circle.fill" : card.icon
                size: 30
                color: card.granted ? card.theme.green : card.iconColor
                Behavior on name {
                    SequentialAnimation {
                        NumberAnimation { target: symbol; property: "scale"; to: 0.6; duration: 90 }
                        PropertyAction {}
                        SpringAnimation { target: symbol; property: "scale"; to: 1; spring: 4; damping: 0.3 }
                    }
                }
            }
        }

        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: card.title
            wrapMode: Text.WordWrap
            font.pixelSize: 17
            font.weight: Font.DemiBold
            color: card.theme.primary
            Accessible.role: Accessible.Heading
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: card.description
            wrapMode: Text.WordWrap
            font.pixelSize: 13
            lineHeight: 1.2
            color: card.theme.secondary
        }

        Item {
            anchors.horizontalCenter: parent.horizontalCenter
            width: parent.width
            height: actionButton.implicitHeight

            Rectangle {
                id: actionButton
                objectName: "permissionButton"
                signal clicked()
                anchors.horizontalCenter: parent.horizontalCenter
                visible: !card.granted
                width: Math.max(label.implicitWidth + 40, 260)
                implicitHeight: label.implicitHeight + 16
                radius: 7
                focus: true
                activeFocusOnTab: true
                color: mouse.pressed ? Qt.darker(card.theme.accent, 1.2)
                                     : mouse.containsMouse ? Qt.lighter(card.theme.accent, 1.1) : card.theme.accent
                border.width: activeFocus ? 2 : 0
                border.color: Qt.lighter(card.theme.accent, 1.5)
                onClicked: card.model.openSettings()
                Keys.onSpacePressed: clicked()
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                Accessible.role: Accessible.Button
                Accessible.name: card.buttonLabel
                Accessible.onPressAction: clicked()

                Row {
                    id: label
                    anchors.centerIn: parent
                    spacing: 6
                    TintedIcon {
                        anchors.verticalCenter: parent.verticalCenter
                        name: "gear"
                        size: 14
                        color: card.theme.selectedText
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: card.buttonLabel
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: card.theme.selectedText
                    }
                }
                MouseArea {
                    id: mouse
                    anchors.fill: parent
                    hoverEnabled: true
                    onClicked: actionButton.clicked()
                }
            }

            Row {
                objectName: "grantedLabel"
                anchors.centerIn: parent
                spacing: 6
                visible: card.granted
                scale: card.granted ? 1 : 0.5
                opacity: card.granted ? 1 : 0
                Behavior on scale { NumberAnimation { duration: 250; easing.type: Easing.OutBack } }
                Behavior on opacity { NumberAnimation { duration: 200 } }
                TintedIcon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: "checkmark.circle.fill"
                    size: 14
                    color: card.theme.green
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Permission granted!"
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    color: card.theme.green
                    Accessible.role: Accessible.AlertMessage
                }
            }
        }
    }
}
