import QtQuick

// The card's material: a rounded, opaque plate in the window colour. The panel's mask cuts the
// same corners, so it also looks right without a compositor.
Rectangle {
    required property CardTheme theme
    property real cornerRadius: 14

    radius: cornerRadius
    color: theme.material
    border.width: 1
    border.color: theme.edge
}
