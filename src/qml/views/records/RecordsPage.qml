import QtQuick
import QtQuick.Controls
import Pelora

ToolPage {
    id: root

    titleText: qsTr("称重记录")

    Label {
        anchors.centerIn: parent
        text: root.connected ? "" : qsTr("未连接传感器")
    }
}
