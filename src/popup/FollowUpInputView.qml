import QtQuick
import QtQuick.Layouts
import "../ui"

// The follow-up row: the question field and the send button.
Rectangle {
    id: view
    required property QtObject viewModel
    required property CardTheme theme

    implicitHeight: Math.max(field.implicitHeight, 20) + 16
    radius: 8
    color: Qt.rgba(theme.textBackground.r, theme.textBackground.g, theme.textBackground.b, 0.6)

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 8
        anchors.bottomMargin: 8
        spacing: 8

        TextInput {
            id: field
            objectName: "followUpField"
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter
            text: view.viewModel.followUpInput
            onTextEdited: view.viewModel.followUpInput = text
            enabled: !view.viewModel.isLoading
            font.pixelSize: 13
            color: view.theme.primary
            selectionColor: view.theme.selection
            selectedTextColor: view.theme.selectedText
            selectByMouse: true
            clip: true
            // Scrolls to the cursor only while typing, so an unfocused field shows the start of its text.
            autoScroll: activeFocus
            onAccepted: view.viewModel.sendFollowUp(view.viewModel.followUpInput)

            Text {
                anchors.fill: parent
                visible: field.text.length === 0
                text: "Ask a follow-up question..."
                font: field.font
                color: view.theme.tertiary
                elide: Text.ElideRight
            }
        }

        TintedIcon {
            id: send
            objectName: "sendButton"
            Layout.alignment: Qt.AlignVCenter
            readonly property bool enabledForSending: view.viewModel.canSend
            name: "arrow.up.circle.fill"
            size: 20
            color: enabledForSending ? view.theme.accent : view.theme.secondary
            enabled: enabledForSending

            MouseArea {
                anchors.fill: parent
                anchors.margins: -4
                cursorShape: Qt.PointingHandCursor
                onClicked: view.viewModel.sendFollowUp(view.viewModel.followUpInput)
            }
        }
    }
}
