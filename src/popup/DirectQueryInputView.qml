import QtQuick
import QtQuick.Layouts
import "../ui"

// Ask-anything mode: one field; Return submits the typed question.
ColumnLayout {
    id: view
    required property QtObject viewModel
    required property CardTheme theme
    property alias query: field.text

    spacing: 14

    Item { Layout.fillHeight: true }

    TintedIcon {
        Layout.alignment: Qt.AlignHCenter
        name: "bubble.left.and.bubble.right"
        size: 30
        color: view.theme.accent
        opacity: 0.75
    }

    Text {
        Layout.alignment: Qt.AlignHCenter
        text: "What would you like to ask?"
        font.pixelSize: 13
        color: view.theme.secondary
    }

    Rectangle {
        Layout.fillWidth: true
        Layout.leftMargin: 20
        Layout.rightMargin: 20
        implicitHeight: field.implicitHeight + 20
        radius: 8
        color: Qt.rgba(view.theme.controlBackground.r, view.theme.controlBackground.g,
                       view.theme.controlBackground.b, 0.6)

        TextInput {
            id: field
            objectName: "queryField"
            anchors.fill: parent
            anchors.margins: 10
            font.pixelSize: 14
            color: view.theme.primary
            selectionColor: view.theme.selection
            selectedTextColor: view.theme.selectedText
            selectByMouse: true
            clip: true
            // Scrolls to the cursor only while typing, so an unfocused field shows the start of its text.
            autoScroll: activeFocus
            focus: true
            onAccepted: view.viewModel.submitDirectQuery(text)

            Text {
                anchors.fill: parent
                visible: field.text.length === 0
                text: "Ask anything..."
                font: field.font
                color: view.theme.tertiary
                elide: Text.ElideRight
            }
        }
    }

    Text {
        Layout.alignment: Qt.AlignHCenter
        text: "Press Return to ask"
        font.pixelSize: 11
        color: view.theme.tertiary
    }

    Item { Layout.fillHeight: true }

    // The field has the keyboard as soon as the panel does.
    Component.onCompleted: field.forceActiveFocus()
}
