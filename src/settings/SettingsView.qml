import QtQuick
import "../ui"

// The settings window's content: the custom prompt, written on every keystroke, the login switch, where the
// desktop binds Quillora's keys in its own settings the keys switch, and "Done".
// Plain items only: the controls library would stay in memory for the rest of the run once loaded.
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
            Accessible.name: text
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

                Flickable {
                    id: scroller
                    anchors.fill: parent
                    anchors.margins: 1
                    clip: true
                    contentWidth: width
                    contentHeight: editor.implicitHeight
                    boundsBehavior: Flickable.StopAtBounds
                    interactive: contentHeight > height

                    TextEdit {
                        id: editor
                        objectName: "promptEditor"
                        width: scroller.width
                        focus: true
                        text: view.settings.customSystemPrompt
                        // Every keystroke goes to the store at once: nothing typed is lost if the program dies.
                        onTextChanged: if (text !== view.settings.customSystemPrompt) view.settings.customSystemPrompt = text
                        textFormat: TextEdit.PlainText
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
                        // Keeps the cursor in sight while typing past the editor's height.
                        onCursorRectangleChanged: {
                            if (cursorRectangle.y < scroller.contentY)
                                scroller.contentY = cursorRectangle.y
                            else if (cursorRectangle.y + cursorRectangle.height + bottomPadding > scroller.contentY + scroller.height)
                                scroller.contentY = cursorRectangle.y + cursorRectangle.height + bottomPadding - scroller.height
                        }
                        // Tab moves on to the switch instead of typing a tab character.
                        KeyNavigation.priority: KeyNavigation.BeforeItem
                        KeyNavigation.tab: loginSwitch
                        KeyNavigation.backtab: doneButton
                        Accessible.role: Accessible.EditableText
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
                Accessible.name: text
            }
        }

        Rectangle {
            width: parent.width
            height: 1
            color: cardTheme.edge
        }

        ToggleSwitch {
            id: loginSwitch
            objectName: "openAtLoginSwitch"
            theme: cardTheme
            text: "Open at Login"
            enabled: view.model.loginItemAvailable
            // Always the login item's state as it is now, whatever the click did.
            checked: view.model.openAtLogin
            onToggled: view.model.openAtLogin = !checked
            KeyNavigation.tab: keysSwitch.visible ? keysSwitch : doneButton
            KeyNavigation.backtab: editor
        }

        ToggleSwitch {
            id: keysSwitch
            objectName: "keysSwitch"
            theme: cardTheme
            visible: view.model.keysOffered
            text: "Set up Alt+X, Alt+Z and Alt+A"
            // What the desktop's settings hold, whatever the click did.
            checked: view.model.keysSetUp
            onToggled: view.model.keysSetUp = !checked
            KeyNavigation.tab: doneButton
            KeyNavigation.backtab: loginSwitch
        }

        Text {
            objectName: "keysNote"
            width: parent.width
            visible: keysSwitch.visible && text !== ""
            text: view.model.keysNote
            wrapMode: Text.WordWrap
            font.pixelSize: 11
            color: cardTheme.secondary
            Accessible.role: Accessible.AlertMessage
            Accessible.name: text
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
                onClicked: view.model.dismiss()
                KeyNavigation.tab: editor
                KeyNavigation.backtab: keysSwitch.visible ? keysSwitch : loginSwitch
            }
        }
    }
}
