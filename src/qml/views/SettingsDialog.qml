import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// The one configuration screen: port, baud rate, connect/disconnect, output format and unit.
// It only writes settings (and talks to the manager); everyone else reacts to
// SettingsStore.valueChanged. Selections made from code never store or send anything:
// only the combo boxes' activated signals and button clicks do.
Dialog {
    id: root

    required property var serialPort

    property string preferredPortName: ""
    property int preferredBaudRate: 115200
    property int outputFormatValue: 1
    property int weightUnitValue: 1

    readonly property var _baudRates: ["9600", "19200", "38400", "57600", "115200"]
    readonly property color _accent: Qt.rgba(0.23, 0.51, 0.96, 1.0)
    readonly property bool _hasManager: !!root.serialPort
    readonly property bool _connected: root._hasManager && root.serialPort.isConnected

    function _indexOfPort(name) {
        const list = root._hasManager ? root.serialPort.portList : []
        if (!list)
            return -1
        for (let i = 0; i < list.length; ++i) {
            if (list[i] === name)
                return i
        }
        return -1
    }

    function loadSettings() {
        const storedPort = SettingsStore.value("serial/portName", "")
        root.preferredPortName = (storedPort === undefined || storedPort === null) ? "" : String(storedPort)

        const baud = parseInt(SettingsStore.value("serial/baudRate", "115200"))
        root.preferredBaudRate = isNaN(baud) ? 115200 : baud
        // An unlisted rate stays preferred but the box falls back to 115200.
        const baudIndex = root._baudRates.indexOf(String(root.preferredBaudRate))
        baudCombo.currentIndex = baudIndex >= 0 ? baudIndex : 4

        const format = parseInt(SettingsStore.value("scale/outputFormatIndex", 1))
        root.outputFormatValue = (format >= 1 && format <= 3) ? format : 1
        formatCombo.currentIndex = root.outputFormatValue - 1

        const unit = parseInt(SettingsStore.value("weight/unit", 1))
        root.weightUnitValue = (unit === 0 || unit === 1) ? unit : 1
        unitCombo.currentIndex = root.weightUnitValue

        if (root.preferredPortName !== "" && root._hasManager) {
            // A remembered port that is not present leaves the selection alone.
            const portIndex = root._indexOfPort(root.preferredPortName)
            if (portIndex >= 0)
                portCombo.currentIndex = portIndex
        } else if (portCombo.count > 0 && portCombo.currentIndex < 0) {
            portCombo.currentIndex = 0
        }
    }

    function _portListChanged() {
        if (portCombo.count === 0)
            return
        if (root.preferredPortName !== "" && root._hasManager) {
            const portIndex = root._indexOfPort(root.preferredPortName)
            if (portIndex >= 0) {
                portCombo.currentIndex = portIndex
                return
            }
        }
        if (portCombo.currentIndex === -1)
            portCombo.currentIndex = 0
    }

    function _toggleConnection() {
        if (!root._hasManager)
            return
        if (root.serialPort.isConnected) {
            root.serialPort.disconnectSerialPort()
            return
        }
        const portName = portCombo.currentText
        if (!portName)
            return
        const baudRate = parseInt(baudCombo.currentText)
        // Port first: the window's change handler must see the new port before the rate.
        SettingsStore.setValue("serial/portName", portName)
        SettingsStore.setValue("serial/baudRate", baudRate)
        root.preferredPortName = portName
        root.preferredBaudRate = baudRate
        root.serialPort.connectSerialPort(portName, baudRate, 8, 0, 1, 0)
    }

    function _pickFormat(index) {
        root.outputFormatValue = index + 1
        SettingsStore.setValue("scale/outputFormatIndex", root.outputFormatValue)
        if (root._connected) {
            root.serialPort.sendData(WeighProtocol.printxSet(root.outputFormatValue,
                                                             WeighProtocol.LineEnding.CR), false)
        }
    }

    function _pickUnit(index) {
        root.weightUnitValue = index
        SettingsStore.setValue("weight/unit", root.weightUnitValue)
    }

    modal: true
    dim: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    standardButtons: Dialog.NoButton
    title: ""
    padding: 20

    Material.theme: Material.Light
    Material.accent: root._accent

    width: root.parent ? Math.min(980, root.parent.width - 60) : 980
    height: root.parent ? Math.min(640, root.parent.height - 40) : 640
    // Math.round rounds halves upward, which is what centring wants here.
    x: root.parent ? Math.round((root.parent.width - root.width) / 2) : 0
    y: root.parent ? Math.round((root.parent.height - root.height) / 2) : 0

    onAboutToShow: {
        // Refresh first so that a port plugged in since the last look can be selected.
        if (root._hasManager)
            root.serialPort.refreshPorts()
        root.loadSettings()
    }

    background: Rectangle {
        color: "white"
        radius: 8
        border.width: 1
        border.color: Qt.rgba(0, 0, 0, 0.10)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 14

        RowLayout {
            Layout.fillWidth: true

            Item {
                Layout.fillWidth: true
            }

            ToolButton {
                objectName: "closeButton"
                text: qsTr("×")
                font.pixelSize: 18
                Layout.preferredWidth: 36
                Layout.preferredHeight: 36
                onClicked: root.close()
            }
        }

        Label {
            text: qsTr("串口配置")
            font.pixelSize: 14
            font.bold: true
            color: root.Material.foreground
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 72
            color: Qt.rgba(0.25, 0.55, 1.0, 0.10)
            border.width: 1
            border.color: Qt.rgba(1, 1, 1, 0.44)
            radius: 8

            RowLayout {
                anchors.fill: parent
                anchors.margins: 12
                spacing: 10

                Label {
                    text: qsTr("端口")
                    font.bold: true
                    Layout.preferredWidth: 42
                }

                ComboBox {
                    id: portCombo
                    objectName: "portCombo"
                    Layout.preferredWidth: 240
                    Layout.preferredHeight: 34
                    // The Material style insets the visible box and draws it through a shadow
                    // effect that Qt Quick's software renderer cannot draw: a plain box of
                    // the combo box's full height instead.
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
                    Material.accent: root._accent
                    model: root._hasManager ? root.serialPort.portList : []
                    enabled: root._hasManager && !root._connected
                    onModelChanged: root._portListChanged()
                    // Long device paths are shortened in the middle, never cut off.
                    contentItem: Text {
                        leftPadding: 12
                        rightPadding: portCombo.indicator ? portCombo.indicator.width : 0
                        text: portCombo.displayText
                        font: portCombo.font
                        elide: Text.ElideMiddle
                        verticalAlignment: Text.AlignVCenter
                        color: portCombo.enabled ? portCombo.Material.foreground : portCombo.Material.hintTextColor
                    }
                    onActivated: function(index) {
                        const picked = portCombo.textAt(index)
                        if (picked)
                            root.preferredPortName = picked
                    }
                }

                Button {
                    id: refreshButton
                    objectName: "refreshButton"
                    text: qsTr("刷新")
                    Layout.preferredWidth: 90
                    Layout.preferredHeight: 36
                    topInset: 0
                    bottomInset: 0
                    enabled: root._hasManager && !root._connected
                    font.pixelSize: 13
                    font.bold: true
                    onClicked: {
                        if (root._hasManager)
                            root.serialPort.refreshPorts()
                    }

                    background: Rectangle {
                        radius: 8
                        border.width: 0
                        color: Qt.rgba(0.23, 0.51, 0.96,
                                       refreshButton.pressed ? 0.95 : refreshButton.hovered ? 0.85 : 0.75)
                        // Greyed while it cannot be used (connected, or no manager).
                        opacity: refreshButton.enabled ? 1.0 : 0.4
                    }
                    contentItem: Text {
                        text: refreshButton.text
                        font: refreshButton.font
                        color: "white"
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                }

                Item {
                    Layout.preferredWidth: 12
                }

                Label {
                    text: qsTr("波特率")
                    font.bold: true
                    Layout.preferredWidth: 52
                }

                ComboBox {
                    id: baudCombo
                    objectName: "baudCombo"
                    Layout.preferredWidth: 140
                    Layout.preferredHeight: 34
                    // The Material style insets the visible box and draws it through a shadow
                    // effect that Qt Quick's software renderer cannot draw: a plain box of
                    // the combo box's full height instead.
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
                    Material.accent: root._accent
                    model: root._baudRates
                    currentIndex: 4
                    enabled: root._hasManager && !root._connected
                    onActivated: function(index) {
                        const rate = parseInt(baudCombo.textAt(index))
                        if (!isNaN(rate))
                            root.preferredBaudRate = rate
                    }
                }

                Button {
                    id: connectButton
                    objectName: "connectButton"
                    text: root._connected ? qsTr("断开连接") : qsTr("连接")
                    Layout.preferredWidth: 96
                    Layout.preferredHeight: 36
                    topInset: 0
                    bottomInset: 0
                    enabled: root._hasManager
                    font.pixelSize: 14
                    font.bold: true
                    onClicked: root._toggleConnection()

                    background: Rectangle {
                        radius: 8
                        color: root._connected ? "#e74c3c" : "#2ecc71"
                        opacity: connectButton.enabled ? 1.0 : 0.4
                    }
                    contentItem: Text {
                        text: connectButton.text
                        font: connectButton.font
                        color: "white"
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                }

                // Takes the rest of the row, so the items above keep their widths from the left.
                Item {
                    Layout.fillWidth: true
                }
            }
        }

        Label {
            text: qsTr("参数配置")
            font.pixelSize: 14
            font.bold: true
            color: root.Material.foreground
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 72
            color: Qt.rgba(0.20, 0.80, 0.55, 0.12)
            border.width: 1
            border.color: Qt.rgba(1, 1, 1, 0.55)
            radius: 8

            RowLayout {
                anchors.fill: parent
                anchors.margins: 12
                spacing: 10

                Label {
                    text: qsTr("输出格式")
                    font.bold: true
                    Layout.preferredWidth: 64
                }

                ComboBox {
                    id: formatCombo
                    objectName: "formatCombo"
                    Layout.preferredWidth: 180
                    Layout.preferredHeight: 34
                    // The Material style insets the visible box and draws it through a shadow
                    // effect that Qt Quick's software renderer cannot draw: a plain box of
                    // the combo box's full height instead.
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
                    Material.accent: root._accent
                    model: [qsTr("原生"), qsTr("SG+ASCII"), qsTr("ASCII")]
                    currentIndex: 0
                    onActivated: function(index) { root._pickFormat(index) }
                }

                Item {
                    Layout.preferredWidth: 16
                }

                Label {
                    text: qsTr("计量单位")
                    font.bold: true
                    Layout.preferredWidth: 64
                }

                ComboBox {
                    id: unitCombo
                    objectName: "unitCombo"
                    Layout.preferredWidth: 140
                    Layout.preferredHeight: 34
                    // The Material style insets the visible box and draws it through a shadow
                    // effect that Qt Quick's software renderer cannot draw: a plain box of
                    // the combo box's full height instead.
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
                    Material.accent: root._accent
                    model: [qsTr("斤"), qsTr("公斤")]
                    currentIndex: 1
                    onActivated: function(index) { root._pickUnit(index) }
                }

                Item {
                    Layout.fillWidth: true
                }
            }
        }

        Item {
            Layout.fillHeight: true
        }
    }
}
