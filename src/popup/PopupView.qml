import QtQuick
import QtQuick.Layouts
import "../ui"

// The popup card: header, answer area and follow-up row, or the ask-anything input.
Item {
    id: card
    required property QtObject viewModel
    readonly property real cornerRadius: 14
    signal closeRequested()

    width: 300
    height: 400

    CardTheme { id: cardTheme }

    VisualEffectView {
        anchors.fill: parent
        theme: cardTheme
        cornerRadius: card.cornerRadius
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 14
            Layout.bottomMargin: 10
            spacing: 6

            TintedIcon {
                name: "sparkles"
                size: 14
                color: cardTheme.accent
            }
            Text {
                text: "Quillora"
                font.pixelSize: 12
                font.weight: Font.DemiBold
                color: cardTheme.secondary
            }
            Item { Layout.fillWidth: true }
            // The whole answer to the clipboard, as text and as Markdown: by click, Tab and Return, or Ctrl+Shift+C.
            Text {
                id: copyButton
                objectName: "copyButton"
                property bool copied: false
                visible: card.viewModel.displayText.length > 0 && !card.viewModel.isLoading
                text: copied ? "Copied" : "Copy"
                font.pixelSize: 12
                font.underline: activeFocus
                color: activeFocus || copyArea.containsMouse ? cardTheme.accent : cardTheme.secondary
                activeFocusOnTab: true
                Accessible.role: Accessible.Button
                Accessible.name: "Copy the answer"
                Accessible.onPressAction: copy()
                Keys.onReturnPressed: copy()
                Keys.onSpacePressed: copy()
                function copy() {
                    card.viewModel.copyAnswer()
                    copied = true
                    copiedTimer.restart()
                }
                Timer { id: copiedTimer; interval: 1500; onTriggered: copyButton.copied = false }
                MouseArea {
                    id: copyArea
                    anchors.fill: parent
                    anchors.margins: -4
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: copyButton.copy()
                }
            }
            Shortcut {
                sequence: "Ctrl+Shift+C"
                enabled: copyButton.visible
                onActivated: copyButton.copy()
            }
            TintedIcon {
                id: closeButton
                objectName: "closeButton"
                name: "xmark.circle.fill"
                size: 15
                color: cardTheme.tertiary
                MouseArea {
                    anchors.fill: parent
                    anchors.margins: -4
                    onClicked: card.closeRequested()
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: cardTheme.divider
            opacity: 0.35
        }

        Flickable {
            id: scroller
            objectName: "answerScroller"
            visible: !card.viewModel.isAwaitingDirectQuery
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentWidth: width
            contentHeight: explanation.implicitHeight + 32
            boundsBehavior: Flickable.StopAtBounds
            // Mouse drags select text; the wheel and the indicator scroll.
            interactive: false
            // An answer being written keeps its newest line in view, until the user scrolls up from the end;
            // scrolling back down to it, or a new answer, follows again.
            property bool followsAnswer: true
            onContentHeightChanged: {
                if (card.viewModel.displayText.length === 0)
                    followsAnswer = true
                else if (followsAnswer && card.viewModel.isLoading)
                    contentY = Math.max(0, contentHeight - height)
            }

            ExplanationView {
                id: explanation
                x: 16
                y: 16
                width: scroller.width - 32
                viewModel: card.viewModel
                theme: cardTheme
            }

            WheelHandler {
                target: null
                onWheel: (event) => {
                    const step = event.angleDelta.y !== 0 ? -event.angleDelta.y / 120 * 48 : -event.pixelDelta.y
                    const end = Math.max(0, scroller.contentHeight - scroller.height)
                    scroller.contentY = Math.max(0, Math.min(end, scroller.contentY + step))
                    scroller.followsAnswer = scroller.contentY >= end
                }
            }

            Rectangle {
                id: indicator
                objectName: "scrollIndicator"
                parent: scroller
                visible: scroller.contentHeight > scroller.height
                x: scroller.width - 7
                width: 4
                radius: 2
                color: cardTheme.tertiary
                height: Math.max(24, scroller.height * scroller.height / Math.max(1, scroller.contentHeight))
                y: (scroller.height - height) * scroller.contentY
                   / Math.max(1, scroller.contentHeight - scroller.height)
            }
        }

        Rectangle {
            visible: !card.viewModel.isAwaitingDirectQuery
            Layout.fillWidth: true
            implicitHeight: 1
            color: cardTheme.divider
            opacity: 0.35
        }

        FollowUpInputView {
            visible: !card.viewModel.isAwaitingDirectQuery
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            viewModel: card.viewModel
            theme: cardTheme
        }

        Loader {
            id: askLoader
            active: card.viewModel.isAwaitingDirectQuery
            visible: active
            Layout.fillWidth: true
            Layout.fillHeight: true
            // A fresh input each time the card enters ask mode, so the typed question starts empty.
            sourceComponent: DirectQueryInputView {
                viewModel: card.viewModel
                theme: cardTheme
            }
        }
    }

    Shortcut {
        sequence: "Escape"
        onActivated: card.closeRequested()
    }
}
