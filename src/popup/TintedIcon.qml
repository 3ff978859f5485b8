import QtQuick
import QtQuick.Window

// One of the bundled symbol icons, drawn in a single colour.
Image {
    property string name
    property color color: "black"
    property real size: 16

    width: size
    height: size
    sourceSize: Qt.size(Math.ceil(size * Screen.devicePixelRatio), Math.ceil(size * Screen.devicePixelRatio))
    source: name.length > 0 ? "image://quillora-icon/" + name + "/" + String(color).substring(1) : ""
    fillMode: Image.PreserveAspectFit
    smooth: true
}
