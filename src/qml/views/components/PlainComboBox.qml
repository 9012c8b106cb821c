import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material

// A combo box that looks its height: the Material style insets the visible box and draws it
// through a shadow effect that Qt Quick's software renderer cannot draw, so a plain box of
// the combo box's full height instead, and the same for its list.
ComboBox {
    topInset: 0
    bottomInset: 0
    background: Rectangle {
        color: "white"
        radius: 2
        border.width: 1
        border.color: Qt.rgba(0, 0, 0, 0.16)
    }
    popup.background: Rectangle {
        color: "white"
        radius: 2
        border.width: 1
        border.color: Qt.rgba(0, 0, 0, 0.16)
    }
}
