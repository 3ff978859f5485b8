import QtQuick
import QtQuick.Controls
import "../popup"

// The settings window's content: the custom prompt, written on every keystroke, the login switch and "Done".
Item {
    id: view
    required property QtObject model
    readonly property QtObject settings: model.settings
    signal closeRequested()

    implicitWidth: 440
    implicitHeight: column.implicitHeight + 48

    CardTheme { id: cardTheme }

    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: view.closeRequested()
    }
    // Return is "Done" except in the editor, where it starts a new line.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: !editor.activeFocus
        onActivated: view.model.dismiss()
    }

    Rectangle {
        anchors.fill: parent
        color: cardTheme.palette.window
    }

    Column {
        id: column
        x: 24
        y: 24
        width: parent.width - 48
        spacing: 16

        Text {
            text: "Quillora Settings"
            font.pixelSize: 15
            font.weight: Font.DemiBold
            color: cardTheme.primary
            Accessible.role: Accessible.Heading
        }

        Column {
            width: parent.width
            spacing: 6

            Text {
                text: "Custom System Prompt (optional):"
                font.pixelSize: 13
                color: cardTheme.secondary
            }

            Rectangle {
                width: parent.width
                height: 80
                radius: 6
                color: cardTheme.textBackground
                border.width: 1
                border.color: editor.activeFocus ? cardTheme.accent : cardTheme.edge

                ScrollView {
                    id: scroller
                    anchors.fill: parent
                    focus: true
                    anchors.margins: 1
                    clip: true

                    TextArea {
                        id: editor
                        objectName: "promptEditor"
                        focus: true
                        text: view.settings.customSystemPrompt
                        // Every keystroke goes to the store at once: nothing typed is lost if the program dies.
                        onTextChanged: if (text !== view.settings.customSystemPrompt) view.settings.customSystemPrompt = text
                        wrapMode: TextEdit.Wrap
                        font.pixelSize: 13
                        color: cardTheme.primary
                        selectionColor: cardTheme.selection
                        selectedTextColor: cardTheme.selectedText
                        selectByMouse: true
                        leftPadding: 7
                        rightPadding: 7
                        topPadding: 5
                        bottomPadding: 5
                        background: null
                        // Tab moves on to the switch instead of typing a tab character.
                        KeyNavigation.priority: KeyNavigation.BeforeItem
                        KeyNavigation.tab: loginSwitch
                        Accessible.name: "Custom System Prompt"
                        Accessible.description: "Leave blank to use the default explanation prompt."
                    }
                }
            }

            Text {
                objectName: "promptHint"
                width: parent.width
                // A store that cannot be written is said here, once, instead of losing the text silently.
                text: view.settings.cannotSave
                      ? "Settings cannot be saved: " + view.model.settingsFolder + " is not writable."
                      : "Leave blank to use the default explanation prompt."
                font.pixelSize: 11
                color: view.settings.cannotSave ? cardTheme.red : cardTheme.secondary
                elide: Text.ElideMiddle
                Accessible.role: view.settings.cannotSave ? Accessible.AlertMessage : Accessible.StaticText
            }
        }

        Rectangle {
            width: parent.width
            height: 1
            color: cardTheme.edge
        }

        Switch {
            id: loginSwitch
            objectName: "openAtLoginSwitch"
            text: "Open at Login"
            font.pixelSize: 13
            leftPadding: 0
            enabled: view.model.loginItemAvailable
            checked: view.model.openAtLogin
            onToggled: {
                view.model.openAtLogin = checked
                // Show what the login item says now, whatever the click did.
                checked = Qt.binding(() => view.model.openAtLogin)
            }
            KeyNavigation.tab: doneButton
            KeyNavigation.backtab: editor
            Accessible.name: "Open at Login"

            indicator: Rectangle {
                x: loginSwitch.leftPadding
                anchors.verticalCenter: parent.verticalCenter
                implicitWidth: 34
                implicitHeight: 20
                radius: 10
                color: loginSwitch.checked ? cardTheme.accent : cardTheme.tertiary
                opacity: loginSwitch.enabled ? 1 : 0.5
                border.width: loginSwitch.visualFocus ? 2 : 0
                border.color: Qt.lighter(cardTheme.accent, 1.3)
                Behavior on color { ColorAnimation { duration: 120 } }

                Rectangle {
                    x: loginSwitch.checked ? parent.width - width - 2 : 2
                    anchors.verticalCenter: parent.verticalCenter
                    width: 16
                    height: 16
                    radius: 8
                    color: "white"
                    Behavior on x { NumberAnimation { duration: 120 } }
                }
            }
            contentItem: Text {
                leftPadding: loginSwitch.indicator.width + 8
                text: loginSwitch.text
                font: loginSwitch.font
                color: cardTheme.primary
                opacity: loginSwitch.enabled ? 1 : 0.5
                verticalAlignment: Text.AlignVCenter
            }
        }

        // A flexible space, then "Done" at the trailing edge.
        Item {
            width: parent.width
            height: doneButton.implicitHeight

            DialogButton {
                id: doneButton
                objectName: "doneButton"
                anchors.right: parent.right
                theme: cardTheme
                isDefault: true
                text: "Done"
                leftPadding: 22
                rightPadding: 22
                onClicked: view.model.dismiss()
                KeyNavigation.tab: editor
                KeyNavigation.backtab: loginSwitch
                Accessible.name: "Done"
            }
        }
    }

}
