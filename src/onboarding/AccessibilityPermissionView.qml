import QtQuick
import QtQuick.Controls
import "../popup"

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

    CardTheme { id: theme }

    VisualEffectView {
        anchors.fill: parent
        theme: theme
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
                color: theme.accent
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width - 20 - 14 - 2 * parent.spacing - 8
                text: "Accessibility Permission Required"
                font.pixelSize: 14
                font.weight: Font.DemiBold
                color: theme.primary
                elide: Text.ElideRight
            }
            TintedIcon {
                anchors.verticalCenter: parent.verticalCenter
                name: "xmark.circle.fill"
                size: 14
                color: theme.secondary
                MouseArea {
                    anchors.fill: parent
                    anchors.margins: -4
                    onClicked: prompt.model.dismiss()
                }
            }
        }

        Text {
            width: parent.width
            text: "Quillora needs Accessibility access to read selected text from other apps."
            wrapMode: Text.WordWrap
            font.pixelSize: 13
            lineHeight: 1.15
            color: theme.secondary
        }

        Button {
            width: parent.width
            topPadding: 8
            bottomPadding: 8
            highlighted: true
            onClicked: prompt.model.turnOn()
            contentItem: Row {
                spacing: 6
                TintedIcon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: "gear"
                    size: 14
                    color: theme.selectedText
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Turn On Accessibility Support"
                    font.pixelSize: 13
                    color: theme.selectedText
                }
            }
        }

        Row {
            visible: prompt.model.isGranted
            spacing: 6
            TintedIcon {
                anchors.verticalCenter: parent.verticalCenter
                name: "checkmark.circle.fill"
                size: 14
                color: "#34c759"
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: "Permission granted!"
                font.pixelSize: 13
                font.weight: Font.Medium
                color: "#34c759"
            }
        }
    }
}
