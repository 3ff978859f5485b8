import QtQuick

// A notice that reports no size of its own and can ask to be closed.
Item {
    property string label
    signal closeRequested()
}
