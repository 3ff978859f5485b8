import QtQuick
import "../ui"

// The answer area: the dots until the first words, then the answer (selectable) as it grows, rendered from
// Markdown by AnswerDocument, which fills the TextEdit from its `markdown` property; an error in red, in place
// of the answer or under the part of it that came before the error.
Item {
    id: view
    required property QtObject viewModel
    required property CardTheme theme

    readonly property bool loading: viewModel.isLoading && viewModel.displayText.length === 0
    readonly property bool showsError: !loading && viewModel.hasError

    implicitHeight: loading ? dots.height + 16 : column.implicitHeight

    LoadingDotsView {
        id: dots
        objectName: "loadingDots"
        theme: view.theme
        visible: view.loading
        anchors.horizontalCenter: parent.horizontalCenter
        y: 8
    }

    Column {
        id: column
        width: parent.width
        spacing: 10

        TextEdit {
            id: answer
            objectName: "answerText"
            visible: !view.loading && (!view.showsError || view.viewModel.displayText.length > 0)
            width: column.width
            property string markdown: view.viewModel.displayText
            property color linkColor: view.theme.link
            property color codeBackground: view.theme.codeBackground
            textFormat: TextEdit.PlainText
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            selectByKeyboard: true
            persistentSelection: false
            font.pixelSize: 14
            color: view.theme.primary
            selectionColor: view.theme.selection
            selectedTextColor: view.theme.selectedText
            opacity: view.viewModel.contentOpacity
            Behavior on opacity { enabled: answer.opacity < 1; NumberAnimation { duration: 250; easing.type: Easing.InQuad } }
            HoverHandler { cursorShape: answer.hoveredLink ? Qt.PointingHandCursor : Qt.IBeamCursor }
        }

        Text {
            id: error
            objectName: "errorText"
            visible: view.showsError
            width: column.width
            text: view.viewModel.errorMessage
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            font.pixelSize: 13
            color: view.theme.red
            opacity: view.viewModel.contentOpacity
            Behavior on opacity { enabled: error.opacity < 1; NumberAnimation { duration: 250; easing.type: Easing.InQuad } }
        }
    }
}
