import QtQuick
import QtQuick.Controls.Material
import Pelora

ApplicationWindow {
    id: window

    width: 1280
    height: 720
    visible: true
    title: qsTr("Pelora")

    Material.theme: Material.Light
    Material.primary: Material.Blue
    Material.accent: Material.LightBlue

    SerialPortManager {
        id: serialPortManager
    }
}
