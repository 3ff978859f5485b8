import QtQuick
import "../ui"

// The result of an update check: an icon, a headline, a line of detail, and the buttons that fit it.
Item {
    id: view
    property string icon
    property string headline
    property string message
    required property QtObject actions
    signal closeRequested()

    implicitWidth: 440
    implicitHeight: Math.max(column.implicitHeight + 40, 150)

    CardTheme { id: cardTheme }

    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: view.closeRequested()
    }

    Rectangle {
        anchors.fill: parent
        color: cardTheme.palette.window
    }

    TintedIcon {
        id: symbol
        x: 24
        y: 22
        name: view.icon
        size: 36
        color: view.icon === "exclamationmark.triangle" ? "#e8a317"
             : view.icon === "checkmark.circle.fill" ? cardTheme.green : cardTheme.accent
    }

    Column {
        id: column
        x: symbol.x + symbol.width + 16
        y: 20
        width: parent.width - x - 24
        spacing: 6

        Text {
            width: parent.width
            text: view.headline
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            font.pixelSize: 15
            font.weight: Font.DemiBold
            color: cardTheme.primary
            Accessible.role: Accessible.Heading
        }
        Text {
            objectName: "updateMessage"
            width: parent.width
            text: view.message
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            maximumLineCount: 4
            elide: Text.ElideRight
            font.pixelSize: 13
            color: cardTheme.secondary
        }
        Item { width: 1; height: 12 }
        Row {
            anchors.right: parent.right
            spacing: 8
            DialogButton {
                theme: cardTheme
                visible: view.actions.hasReleaseNotes
                text: "Release Notes"
                onClicked: view.actions.openReleaseNotes()
            }
            DialogButton {
                theme: cardTheme
                text: view.actions.canDownload ? "Later" : "OK"
                isDefault: !view.actions.canDownload
                focus: !view.actions.canDownload
                onClicked: view.closeRequested()
            }
            DialogButton {
                objectName: "downloadButton"
                theme: cardTheme
                visible: view.actions.canDownload
                text: "Download"
                isDefault: true
                focus: view.actions.canDownload
                onClicked: view.actions.download()
            }
        }
    }
}
