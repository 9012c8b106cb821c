import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

Rectangle {
    id: root

    property bool sensorConnected: true
    property string statusText: ""
    property color successColor: "#2ecc71"
    property color errorColor: "#e74c3c"
    property color textColor: root.Material.foreground
    // What the operator can do about the status, shown beside it ("" for none).
    property string hintText: ""
    // The SerialPortManager whose link shows beside the state (null for none): the open port
    // and its baud rate, or that the window is reconnecting a remembered port.
    property var serialPort: null
    // The window reconnects a remembered port by itself unless a manual disconnect holds it off.
    readonly property bool reconnecting: root._portRemembered && !!root.serialPort
                                         && !root.serialPort.autoReconnectSuppressed
                                         && !root.serialPort.isConnected
    property bool _portRemembered: false

    function _loadRememberedPort() {
        root._portRemembered = AppSettings.portName.length > 0
    }

    Component.onCompleted: root._loadRememberedPort()

    Connections {
        target: SettingsStore

        function onValueChanged(key, value) {
            if (key === "serial/portName")
                root._loadRememberedPort()
        }
    }

    implicitHeight: 40
    color: root.Material.background
    border.width: 1
    border.color: root.Material.dividerColor

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 10
        anchors.rightMargin: 10
        spacing: 16

        Label {
            text: qsTr("状态")
            font.bold: true
            font.pixelSize: 14
            color: root.textColor
        }

        Rectangle {
            Layout.preferredWidth: 1
            Layout.preferredHeight: root.height - 8
            Layout.alignment: Qt.AlignVCenter
            color: root.Material.dividerColor
        }

        RowLayout {
            spacing: 6

            Rectangle {
                objectName: "connectionDot"
                Layout.preferredWidth: 10
                Layout.preferredHeight: 10
                radius: 5
                color: root.sensorConnected ? root.successColor : root.errorColor
            }

            Label {
                objectName: "connectionLabel"
                text: qsTr("电子秤：") + (root.sensorConnected ? qsTr("已连接") : qsTr("未连接"))
                font.pixelSize: 14
                color: root.textColor
            }

            Label {
                objectName: "linkLabel"
                text: root.reconnecting ? qsTr("重连中…")
                    : root.serialPort && root.serialPort.portName !== ""
                      ? root.serialPort.portName + " · " + root.serialPort.baudRate : ""
                visible: text !== ""
                font.pixelSize: 14
                color: root.Material.hintTextColor
                elide: Text.ElideMiddle
                // Below the usual width the path may take more of the bar than a third.
                Layout.maximumWidth: root.width >= 1280 ? root.width / 3 : root.width / 2
            }
        }

        Rectangle {
            Layout.preferredWidth: 1
            Layout.preferredHeight: root.height - 8
            Layout.alignment: Qt.AlignVCenter
            color: root.Material.dividerColor
        }

        Item {
            Layout.fillWidth: true
        }

        Label {
            objectName: "hintLabel"
            text: root.hintText
            visible: root.hintText !== ""
            font.pixelSize: 12
            color: root.errorColor
            elide: Text.ElideRight
            Layout.maximumWidth: root.width / 2
        }

        Label {
            objectName: "statusLabel"
            text: root.statusText
            visible: root.statusText !== ""
            font.pixelSize: 12
            color: root.Material.hintTextColor
            horizontalAlignment: Text.AlignRight
            elide: Text.ElideLeft
            Layout.maximumWidth: root.width / 2
        }
    }
}
