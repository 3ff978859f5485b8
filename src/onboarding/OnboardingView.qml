import QtQuick
import "../ui"

// The onboarding window's content: which step this is, the step's card, and "Skip for now". A third step, for
// the keys, is there where the desktop binds them in its own settings.
Item {
    id: view
    required property QtObject model
    signal closeRequested()

    implicitWidth: 480
    implicitHeight: 380

    CardTheme { id: cardTheme }
    readonly property color purple: cardTheme.dark ? "#bf5af2" : "#9f45c8"

    Shortcut {
        sequences: [StandardKey.Cancel]
        onActivated: view.closeRequested()
    }

    Rectangle {
        anchors.fill: parent
        color: cardTheme.palette.window
    }

    Row {
        id: indicator
        objectName: "stepIndicator"
        anchors.horizontalCenter: parent.horizontalCenter
        y: 28
        spacing: 8
        Repeater {
            model: view.model.stepCount
            Rectangle {
                required property int index
                width: 7
                height: 7
                radius: 3.5
                color: index === view.model.step ? cardTheme.accent : Qt.rgba(cardTheme.primary.r, cardTheme.primary.g, cardTheme.primary.b, 0.3)
                Behavior on color { ColorAnimation { duration: 200 } }
            }
        }
        Accessible.role: Accessible.StaticText
        Accessible.name: "Step " + (view.model.step + 1) + " of " + view.model.stepCount
    }

    Loader {
        id: stepLoader
        anchors.left: parent.left
        anchors.right: parent.right
        // Centred between the indicator and the skip link.
        y: indicator.y + indicator.height + (skip.y - indicator.y - indicator.height - height) / 2
        sourceComponent: [accessibilityCard, screenshotCard, shortcutsCard][view.model.step]
        onLoaded: enterAnimation.restart()
        NumberAnimation {
            id: enterAnimation
            target: stepLoader.item
            property: "opacity"
            from: 0
            to: 1
            duration: 250
        }
    }

    Component {
        id: accessibilityCard
        PermissionStepView {
            objectName: "accessibilityStep"
            model: view.model.accessibilityStep
            theme: cardTheme
            icon: "lock.shield.fill"
            iconColor: cardTheme.accent
            title: "Allow Accessibility Access"
            description: "Quillora reads selected text from other apps to explain it.\n\n"
                         + "Quillora will turn on your desktop's accessibility support, which it needs to find the selected text and where it is on screen."
            buttonLabel: "Turn On Accessibility Support"
        }
    }

    Component {
        id: screenshotCard
        PermissionStepView {
            objectName: "screenshotStep"
            model: view.model.screenshotStep
            theme: cardTheme
            icon: "camera.fill"
            iconColor: view.purple
            title: "Allow Screen Recording"
            description: view.model.screenshotNote !== ""
                         ? view.model.screenshotNote
                         : "Quillora needs Screen Recording permission to capture and explain screenshots.\n\n"
                           + "On Wayland your desktop asks you once to allow screenshots."
            buttonLabel: "Allow Screenshots"
        }
    }

    Component {
        id: shortcutsCard
        PermissionStepView {
            objectName: "shortcutsStep"
            model: view.model.shortcutsStep
            theme: cardTheme
            icon: "keyboard"
            iconColor: cardTheme.accent
            title: "Set up Alt+X, Alt+Z and Alt+A"
            description: view.model.shortcutsNote !== ""
                         ? view.model.shortcutsNote
                         : "This version of GNOME lets no program take keys of its own. Quillora can add its keys "
                           + "to GNOME's keyboard shortcuts, where you can change or remove them later."
            buttonLabel: "Add to Keyboard Shortcuts"
        }
    }

    Text {
        id: skip
        objectName: "skipButton"
        signal clicked()
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 20
        text: "Skip for now"
        font.pixelSize: 12
        font.underline: activeFocus
        color: skipMouse.containsMouse ? cardTheme.primary : cardTheme.secondary
        activeFocusOnTab: true
        onClicked: view.model.skip()
        Keys.onSpacePressed: clicked()
        Keys.onReturnPressed: clicked()
        Accessible.role: Accessible.Button
        Accessible.name: text
        Accessible.onPressAction: clicked()
        MouseArea {
            id: skipMouse
            anchors.fill: parent
            anchors.margins: -6
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: skip.clicked()
        }
    }
}
