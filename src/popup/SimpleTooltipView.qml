import QtQuick
import "../ui"

// A short notice: an icon and at most two lines of text, as wide as the text needs.
Item {
    id: notice
    property string icon
    property string message
    readonly property real cornerRadius: 10
    signal closeRequested()

    implicitWidth: row.implicitWidth + 32
    implicitHeight: row.implicitHeight + 20
    width: implicitWidth
    height: implicitHeight

    CardTheme { id: cardTheme }

    VisualEffectView {
        anchors.fill: parent
        theme: cardTheme
        cornerRadius: notice.cornerRadius
    }

    Row {
        id: row
        x: 16
        anchors.verticalCenter: parent.verticalCenter
        spacing: 8

        TintedIcon {
            anchors.verticalCenter: parent.verticalCenter
            name: notice.icon
            size: 15
            color: cardTheme.secondary
        }
        Text {
            id: label
            anchors.verticalCenter: parent.verticalCenter
            text: notice.message
            textFormat: Text.PlainText
            font.pixelSize: 13
            color: cardTheme.secondary
            maximumLineCount: 2
            elide: Text.ElideRight
            wrapMode: Text.Wrap
            width: Math.min(implicitWidth, 420)
        }
    }
}
