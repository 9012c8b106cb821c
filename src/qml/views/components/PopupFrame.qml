import QtQuick

// The background of a list, menu or dialog that pops up over a page: opaque, with an edge.
// The Material style draws its own through a shadow effect that Qt Quick's software renderer
// (chosen on PCs without a GPU driver) leaves out, so the page would show through.
Rectangle {
    color: "white"
    radius: 4
    border.width: 1
    border.color: Qt.rgba(0, 0, 0, 0.28)
}
