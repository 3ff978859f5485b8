import QtQuick
import QtQuick.Controls
import "../ui"

// The card shown when the selection cannot be read because accessibility support is off.
Item {
    id: prompt
    required property QtObject model
    readonly property real cornerRadius: 14
    signal closeRequested()

    width: 380
    height: column.implicitHeight + 40
    implicitWidth: width
    implicitHeight: height

    Component.onCompleted: model.startPolling()
    Component.onDestruction: model.stopPolling()

    Connections {
        target: prompt.model
        function onDismissRequested() { prompt.closeRequested() }
    }

    CardTheme { id: cardTheme }

    VisualEffectView {
        anchors.fill: parent
        theme: cardTheme
        cornerRadius: prompt.cornerRadius
    }

    Column {
        id: column
        x: 20
        y: 20
        width: parent.width - 40
        spacing: 16

        Row {
            width: parent.width
            spacing: 8
            TintedIcon {
                anchors.verticalCenter: parent.verticalCenter
                name: "lock.shield.fill"
                size: 20
                color: cardTheme.accent
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width - 20 - 14 - 2 * parent.spacing - 8
                text: "Accessibility Permission Required"
                font.pixelSize: 14
                font.weight: Font.DemiBold
                color: cardTheme.primary
                elide: Text.ElideRight
            }
            TintedIcon {
                anchors.verticalCenter: parent.verticalCenter
                name: "xmark.circle.fill"
                size: 14
                color: cardTheme.secondary
                MouseArea {
                    anchors.fill: parent
                    anchors.margins: -4
                    onClicked: prompt.model.dismiss()
                }
            }
        }

        Text {
            width: parent.width
            text: "Quillora needs Accessibility access to read selected text from other apps. No selected text was found: reading the selection works better with accessibility support on."
            wrapMode: Text.WordWrap
            font.pixelSize: 13
            lineHeight: 1.15
            color: cardTheme.secondary
        }

        // The button, and in its place once the support is on, the confirmation: the card keeps its height,
        // as its window does not grow after it is shown.
        Button {
            id: turnOnButton
            visible: !prompt.model.isGranted
            width: parent.width
            topPadding: 8
            bottomPadding: 8
            onClicked: prompt.model.turnOn()
            background: Rectangle {
                radius: 7
                color: turnOnButton.down ? Qt.darker(cardTheme.accent, 1.2)
                                         : turnOnButton.hovered ? Qt.lighter(cardTheme.accent, 1.1) : cardTheme.accent
            }
            contentItem: Item {
                implicitHeight: buttonLabel.implicitHeight
                Row {
                    id: buttonLabel
                    anchors.centerIn: parent
                    spacing: 6
                    TintedIcon {
                        anchors.verticalCenter: parent.verticalCenter
                        name: "gear"
                        size: 14
                        color: cardTheme.selectedText
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Turn On Accessibility Support"
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: cardTheme.selectedText
                    }
                }
            }
        }

        Item {
            visible: prompt.model.isGranted
            width: parent.width
            height: turnOnButton.height
            Row {
                anchors.centerIn: parent
                spacing: 6
                TintedIcon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: "checkmark.circle.fill"
                    size: 14
                    color: cardTheme.green
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Permission granted!"
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    color: cardTheme.green
                }
            }
        }
    }
}
