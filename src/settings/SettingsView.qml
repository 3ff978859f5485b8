import QtQuick
import "../ui"

// The settings window's content: the custom prompt, written on every keystroke, the login switch, where the
// desktop binds Quillora's keys in its own settings the keys switch, the explanation service (applied by
// "Done"), and "Done".
// Plain items only: the controls library would stay in memory for the rest of the run once loaded.
Item {
    id: view
    required property QtObject model
    readonly property QtObject settings: model.settings
    readonly property QtObject hotkeys: model.hotkeys
    // Keys recorded here, or the desktop's keys shown with a way to its settings.
    readonly property bool recordsKeys: hotkeys !== null && !hotkeys.desktopOwnsKeys
    readonly property bool opensDesktopKeys: hotkeys !== null && hotkeys.desktopOwnsKeys && hotkeys.desktopSettingsAvailable
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
        enabled: !editor.activeFocus && !testButton.activeFocus && !restoreButton.activeFocus
            && !desktopShortcutsButton.activeFocus
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
            KeyNavigation.tab: keysSwitch.visible ? keysSwitch : shortcutsStart
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
            KeyNavigation.tab: shortcutsStart
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

        Rectangle {
            width: parent.width
            height: 1
            color: cardTheme.edge
            visible: shortcutsGroup.visible
        }

        // One row per command: its name and its key. A click on the key records the next combination pressed
        // (the model takes it or says why not); where the desktop owns the keys they are only shown.
        Column {
            id: shortcutsGroup
            objectName: "shortcutsGroup"
            width: parent.width
            spacing: 8
            visible: view.hotkeys !== null

            Text {
                text: "Keyboard Shortcuts"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: cardTheme.primary
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }

            Repeater {
                id: shortcutRows
                // A fixed count, so the rows (and the key that has the focus) stay while their values change.
                model: view.hotkeys ? view.hotkeys.rows.length : 0

                Column {
                    id: shortcutRow
                    required property int index
                    readonly property var row: view.hotkeys.rows[index]
                    readonly property alias keyButton: keyButton
                    width: shortcutsGroup.width
                    spacing: 4

                    Item {
                        width: parent.width
                        height: keyButton.implicitHeight

                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: shortcutRow.row.name
                            font.pixelSize: 13
                            color: cardTheme.primary
                        }
                        DialogButton {
                            id: keyButton
                            objectName: "shortcutKey" + shortcutRow.index
                            anchors.right: parent.right
                            width: Math.max(130, implicitWidth)
                            theme: cardTheme
                            visible: view.recordsKeys
                            text: shortcutRow.row.recording ? "Press keys…" : shortcutRow.row.key
                            Accessible.name: shortcutRow.row.name + " shortcut: " + text
                            Accessible.description: "Press to record a new key; Escape cancels, Backspace restores the default."
                            onClicked: {
                                forceActiveFocus()
                                view.hotkeys.startRecording(shortcutRow.index)
                            }
                            // While recording, every key comes here first, Escape and Return included.
                            Keys.onShortcutOverride: (event) => event.accepted = shortcutRow.row.recording
                                || event.key === Qt.Key_Return || event.key === Qt.Key_Enter
                            Keys.onPressed: (event) => event.accepted = shortcutRow.row.recording
                                && view.hotkeys.keyPressed(event.key, event.modifiers, event.nativeScanCode)
                            onActiveFocusChanged: if (!activeFocus && shortcutRow.row.recording) view.hotkeys.cancelRecording()
                        }
                        Text {
                            anchors.right: parent.right
                            anchors.verticalCenter: parent.verticalCenter
                            visible: !view.recordsKeys
                            text: shortcutRow.row.key
                            font.pixelSize: 13
                            color: cardTheme.secondary
                            Accessible.role: Accessible.StaticText
                            Accessible.name: shortcutRow.row.name + " shortcut: " + text
                        }
                    }
                    Text {
                        objectName: "shortcutNote" + shortcutRow.index
                        width: parent.width
                        visible: text !== ""
                        text: shortcutRow.row.note
                        wrapMode: Text.WordWrap
                        font.pixelSize: 11
                        color: cardTheme.red
                        Accessible.role: Accessible.AlertMessage
                        Accessible.name: text
                    }
                }
            }

            DialogButton {
                id: restoreButton
                objectName: "restoreShortcutsButton"
                theme: cardTheme
                visible: view.recordsKeys
                text: "Restore Defaults"
                onClicked: view.hotkeys.restoreDefaults()
                KeyNavigation.tab: serviceStart
            }
            DialogButton {
                id: desktopShortcutsButton
                objectName: "desktopShortcutsButton"
                theme: cardTheme
                visible: view.opensDesktopKeys
                text: "Open the desktop's shortcut settings"
                onClicked: view.hotkeys.openDesktopSettings()
                KeyNavigation.tab: serviceStart
            }
            Text {
                width: parent.width
                visible: view.hotkeys !== null && view.hotkeys.desktopOwnsKeys && !view.hotkeys.desktopSettingsAvailable
                text: "The desktop decides these keys; change them in its keyboard settings."
                wrapMode: Text.WordWrap
                font.pixelSize: 11
                color: cardTheme.secondary
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Rectangle {
            width: parent.width
            height: 1
            color: cardTheme.edge
            visible: view.model.serviceOffered
        }

        Column {
            id: serviceGroup
            width: parent.width
            spacing: 8
            visible: view.model.serviceOffered

            Text {
                text: "Explanation Service"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: cardTheme.primary
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }

            Row {
                spacing: 20
                Choice {
                    id: thisComputer
                    objectName: "thisComputerChoice"
                    text: "This computer"
                    checked: !view.model.teamService
                    onChosen: view.model.teamService = false
                    KeyNavigation.tab: teamChoice
                    KeyNavigation.backtab: shortcutsEnd
                }
                Choice {
                    id: teamChoice
                    objectName: "teamServiceChoice"
                    text: "A team's service"
                    checked: view.model.teamService
                    onChosen: view.model.teamService = true
                    KeyNavigation.tab: view.model.teamService ? addressField.input : testButton
                    KeyNavigation.backtab: thisComputer
                }
            }

            Column {
                width: parent.width
                spacing: 6
                visible: view.model.teamService

                Field {
                    id: addressField
                    objectName: "serviceAddressField"
                    width: parent.width
                    placeholder: "https://quillora.example.com"
                    name: "Service address"
                    text: view.model.serviceAddress
                    onEdited: (value) => view.model.serviceAddress = value
                    input.KeyNavigation.tab: tokenField.input
                    input.KeyNavigation.backtab: teamChoice
                }
                Text {
                    objectName: "serviceProblem"
                    width: parent.width
                    visible: text !== ""
                    text: view.model.serviceProblem
                    wrapMode: Text.WordWrap
                    font.pixelSize: 11
                    color: cardTheme.red
                    Accessible.role: Accessible.AlertMessage
                    Accessible.name: text
                }
                Field {
                    id: tokenField
                    objectName: "serviceTokenField"
                    width: parent.width
                    placeholder: "Token"
                    name: "Service token"
                    secret: true
                    text: view.model.serviceToken
                    onEdited: (value) => view.model.serviceToken = value
                    input.KeyNavigation.tab: testButton
                    input.KeyNavigation.backtab: addressField.input
                }
                Text {
                    objectName: "tokenNote"
                    width: parent.width
                    text: view.model.tokenNote !== "" ? view.model.tokenNote : "The token is kept in your keyring."
                    wrapMode: Text.WordWrap
                    font.pixelSize: 11
                    color: cardTheme.secondary
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }

            Row {
                width: parent.width
                spacing: 10
                DialogButton {
                    id: testButton
                    objectName: "testServiceButton"
                    theme: cardTheme
                    text: "Test"
                    enabled: !view.model.checking
                    onClicked: view.model.checkService()
                    KeyNavigation.tab: doneButton
                    KeyNavigation.backtab: view.model.teamService ? tokenField.input : teamChoice
                }
                Text {
                    objectName: "checkResult"
                    width: parent.width - testButton.width - 10
                    anchors.verticalCenter: testButton.verticalCenter
                    text: view.model.checkResult
                    wrapMode: Text.WordWrap
                    font.pixelSize: 11
                    color: cardTheme.secondary
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
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
                onClicked: view.model.dismiss()
                KeyNavigation.tab: editor
                KeyNavigation.backtab: view.model.serviceOffered ? testButton : shortcutsEnd
            }
        }
    }

    // Where Tab goes after the switches, and what Shift+Tab reaches before the service.
    readonly property Item serviceStart: view.model.serviceOffered ? thisComputer : doneButton
    readonly property Item shortcutsStart: view.opensDesktopKeys ? desktopShortcutsButton
        : view.recordsKeys && shortcutRows.count > 0 ? shortcutRows.itemAt(0).keyButton
        : serviceStart
    readonly property Item shortcutsEnd: view.recordsKeys ? restoreButton
        : view.opensDesktopKeys ? desktopShortcutsButton
        : view.model.keysOffered ? keysSwitch : loginSwitch

    // One of the two services: a round mark and its label. Space or a click chooses it.
    component Choice: Item {
        id: choice
        property string text
        property bool checked
        signal chosen()
        implicitWidth: 26 + choiceLabel.implicitWidth
        implicitHeight: 20
        activeFocusOnTab: true
        Accessible.role: Accessible.RadioButton
        Accessible.name: text
        Accessible.checkable: true
        Accessible.checked: checked
        Accessible.onPressAction: choice.chosen()
        Keys.onSpacePressed: choice.chosen()

        Rectangle {
            anchors.verticalCenter: parent.verticalCenter
            width: 18
            height: 18
            radius: 9
            color: cardTheme.textBackground
            border.width: choice.activeFocus ? 2 : 1
            border.color: choice.activeFocus || choice.checked ? cardTheme.accent : cardTheme.edge
            Rectangle {
                anchors.centerIn: parent
                width: 8
                height: 8
                radius: 4
                color: cardTheme.accent
                visible: choice.checked
            }
        }
        Text {
            id: choiceLabel
            x: 26
            anchors.verticalCenter: parent.verticalCenter
            text: choice.text
            font.pixelSize: 13
            color: cardTheme.primary
        }
        MouseArea {
            anchors.fill: parent
            onClicked: choice.chosen()
        }
    }

    // A one-line text field; `edited` reports what the user typed.
    component Field: Rectangle {
        id: field
        property alias text: fieldInput.text
        property alias input: fieldInput
        property string placeholder
        property string name
        property bool secret: false
        signal edited(string value)
        height: 28
        radius: 6
        color: cardTheme.textBackground
        border.width: 1
        border.color: fieldInput.activeFocus ? cardTheme.accent : cardTheme.edge

        TextInput {
            id: fieldInput
            anchors.fill: parent
            leftPadding: 7
            rightPadding: 7
            verticalAlignment: TextInput.AlignVCenter
            clip: true
            font.pixelSize: 13
            color: cardTheme.primary
            selectionColor: cardTheme.selection
            selectedTextColor: cardTheme.selectedText
            selectByMouse: true
            echoMode: field.secret ? TextInput.Password : TextInput.Normal
            activeFocusOnTab: true
            onTextEdited: field.edited(text)
            Accessible.role: Accessible.EditableText
            Accessible.name: field.name
            Accessible.passwordEdit: field.secret
        }
        Text {
            anchors.fill: parent
            leftPadding: 7
            verticalAlignment: Text.AlignVCenter
            visible: fieldInput.text === "" && !fieldInput.activeFocus
            text: field.placeholder
            font.pixelSize: 13
            color: cardTheme.tertiary
        }
    }
}
