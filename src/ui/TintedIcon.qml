import QtQuick
import Quillora

// One of the bundled symbol icons, drawn in a single colour.
SymbolIcon {
    property real size: 16

    width: size
    height: size
}
