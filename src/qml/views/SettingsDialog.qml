pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import QtQuick.Templates as T
import Pelora
import "fleet" as Fleet
import "api" as Api
import "wedge" as Wedge

// The one configuration screen: port, baud rate, connect/disconnect, output format and unit.
// It only writes settings, through AppSettings (and talks to the manager); everyone else
// reacts to SettingsStore.valueChanged. Selections made from code never store or send anything:
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

    // The listed ports, then the paths of other serial devices present: the remembered one
    // (a pseudo-terminal no enumeration lists) and the stable by-id links.
    property var _portEntries: []

    function _rebuildPortEntries() {
        const names = root._hasManager && root.serialPort.portList ? root.serialPort.portList : []
        const entries = PortCatalog.describeAll(names)
        const seen = {}
        for (const name of names)
            seen[name] = true
        const extra = [AppSettings.portName]
        for (const path of extra.concat(PortCatalog.devicePaths())) {
            if (path !== "" && !seen[path] && PortCatalog.isSerialDevice(path)) {
                entries.push({ name: path, description: "", manufacturer: "" })
                seen[path] = true
            }
        }
        root._portEntries = entries
    }

    function _portDetail(entry) {
        return [entry.description, entry.manufacturer].filter(text => !!text).join(" · ")
    }

    function _indexOfPort(name) {
        const list = root._portEntries
        for (let i = 0; i < list.length; ++i) {
            if (list[i].name === name)
                return i
        }
        // The remembered adapter under the name it has now.
        const identity = AppSettings.portIdentity
        const current = identity ? PortCatalog.findByIdentity(identity) : ""
        for (let j = 0; current !== "" && j < list.length; ++j) {
            if (list[j].name === current)
                return j
        }
        return -1
    }

    function loadSettings() {
        root.preferredPortName = AppSettings.portName

        root.preferredBaudRate = AppSettings.baudRate
        // An unlisted rate stays preferred but the box falls back to 115200.
        const baudIndex = root._baudRates.indexOf(String(root.preferredBaudRate))
        baudCombo.currentIndex = baudIndex >= 0 ? baudIndex : 4

        root.outputFormatValue = AppSettings.outputFormat
        formatCombo.currentIndex = root.outputFormatValue - 1

        root.weightUnitValue = AppSettings.weightUnit
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
        const portName = portCombo.editText.trim()
        if (!portName)
            return
        const baudRate = parseInt(baudCombo.currentText)
        // The adapter's identity, then the port: the window's change handler must see both
        // before the rate.
        AppSettings.setPortIdentity(PortCatalog.identityOf(portName))
        AppSettings.setPortName(portName)
        AppSettings.setBaudRate(baudRate)
        root.preferredPortName = portName
        root.preferredBaudRate = baudRate
        root.serialPort.connectSerialPort(portName, baudRate, 8, 0, 1, 0)
    }

    function _pickFormat(index) {
        root.outputFormatValue = index + 1
        AppSettings.setOutputFormat(root.outputFormatValue)
        if (root._connected) {
            root.serialPort.sendData(WeighProtocol.printxSet(root.outputFormatValue,
                                                             WeighProtocol.LineEnding.CR), false)
        }
    }

    function _pickUnit(index) {
        root.weightUnitValue = index
        AppSettings.setWeightUnit(root.weightUnitValue)
    }

    Connections {
        target: root.serialPort
        ignoreUnknownSignals: true

        function onPortListChanged() {
            root._rebuildPortEntries()
        }
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
        root._rebuildPortEntries()
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
            // Where the dialog is narrow the baud rate and the connect button go on a second row.
            Layout.preferredHeight: serialRow.columns === 8 ? 72 : 118
            color: Qt.rgba(0.25, 0.55, 1.0, 0.10)
            border.width: 1
            border.color: Qt.rgba(1, 1, 1, 0.44)
            radius: 8

            GridLayout {
                id: serialRow

                anchors.fill: parent
                anchors.margins: 12
                columns: root.availableWidth >= 760 ? 8 : 4
                columnSpacing: 10
                rowSpacing: 10

                Label {
                    text: qsTr("端口")
                    font.bold: true
                    Layout.preferredWidth: 42
                }

                PlainComboBox {
                    id: portCombo
                    objectName: "portCombo"
                    Layout.preferredWidth: 240
                    Layout.preferredHeight: 34
                    // Pick a listed port or type the path of any other (a pseudo-terminal,
                    // a by-id link): the typed text is what connects.
                    editable: true
                    textRole: "name"
                    model: root._portEntries
                    enabled: root._hasManager && !root._connected
                    onModelChanged: root._portListChanged()
                    onAccepted: {
                        const typed = portCombo.editText.trim()
                        if (typed)
                            root.preferredPortName = typed
                    }
                    // Long device paths are shortened in the middle while not being edited.
                    readonly property color _textColor: portCombo.enabled ? portCombo.Material.foreground
                                                                          : portCombo.Material.hintTextColor
                    contentItem: T.TextField {
                        objectName: "portField"
                        leftPadding: 12
                        rightPadding: 6
                        text: portCombo.editText
                        font: portCombo.font
                        enabled: portCombo.enabled
                        selectByMouse: true
                        verticalAlignment: Text.AlignVCenter
                        // The elided copy below shows the text while it is not being edited.
                        color: activeFocus ? portCombo._textColor : "transparent"
                        selectionColor: portCombo.Material.accentColor
                        selectedTextColor: "white"
                    }
                    Text {
                        x: portCombo.contentItem.x
                        y: portCombo.contentItem.y
                        width: portCombo.contentItem.width
                        height: portCombo.contentItem.height
                        leftPadding: 12
                        rightPadding: 6
                        visible: !portCombo.contentItem.activeFocus
                        text: portCombo.editText
                        font: portCombo.font
                        elide: Text.ElideMiddle
                        verticalAlignment: Text.AlignVCenter
                        color: portCombo._textColor
                    }
                    // Each port with what the platform tells about it: the stored value stays the name.
                    delegate: ItemDelegate {
                        id: portRow
                        required property var modelData
                        required property int index
                        width: portCombo.popup.width - portCombo.popup.leftPadding - portCombo.popup.rightPadding
                        highlighted: portCombo.highlightedIndex === portRow.index
                        contentItem: Column {
                            spacing: 2
                            Text {
                                width: parent.width
                                text: portRow.modelData.name
                                font: portCombo.font
                                elide: Text.ElideMiddle
                                color: portCombo.Material.foreground
                            }
                            Text {
                                width: parent.width
                                text: root._portDetail(portRow.modelData)
                                visible: text !== ""
                                font.pixelSize: 11
                                elide: Text.ElideRight
                                color: portCombo.Material.hintTextColor
                            }
                        }
                    }
                    popup.width: Math.max(portCombo.width, 360)
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
                    // The label has the whole button: newer Material styles pad a button so
                    // much that "断开连接" would not fit in its 96 px.
                    leftPadding: 4
                    rightPadding: 4
                    topPadding: 0
                    bottomPadding: 0
                    enabled: root._hasManager && !root._connected
                    font.pixelSize: 13
                    font.bold: true
                    onClicked: {
                        if (root._hasManager)
                            root.serialPort.refreshPorts()
                        root._rebuildPortEntries()
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

                PlainComboBox {
                    id: baudCombo
                    objectName: "baudCombo"
                    Layout.preferredWidth: 140
                    Layout.preferredHeight: 34
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
                    // The label has the whole button: newer Material styles pad a button so
                    // much that "断开连接" would not fit in its 96 px.
                    leftPadding: 4
                    rightPadding: 4
                    topPadding: 0
                    bottomPadding: 0
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

                PlainComboBox {
                    id: formatCombo
                    objectName: "formatCombo"
                    Layout.preferredWidth: 180
                    Layout.preferredHeight: 34
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

                PlainComboBox {
                    id: unitCombo
                    objectName: "unitCombo"
                    Layout.preferredWidth: 140
                    Layout.preferredHeight: 34
                    model: [qsTr("斤"), qsTr("公斤")]
                    currentIndex: 1
                    onActivated: function(index) { root._pickUnit(index) }
                }

                Item {
                    Layout.fillWidth: true
                }
            }
        }

        Label {
            text: qsTr("与其他程序")
            font.pixelSize: 14
            font.bold: true
            color: root.Material.foreground
        }

        // Where the weight and the records go besides this window: one row each, its state
        // and the button to its own dialog.
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: outlets.implicitHeight + 12
            color: Qt.rgba(0.55, 0.45, 0.95, 0.10)
            border.width: 1
            border.color: Qt.rgba(1, 1, 1, 0.55)
            radius: 8

            GridLayout {
                id: outlets

                anchors.fill: parent
                anchors.leftMargin: 10
                anchors.rightMargin: 10
                anchors.topMargin: 6
                anchors.bottomMargin: 6
                columns: 3
                columnSpacing: 10
                rowSpacing: 0

                Label {
                    text: qsTr("键盘输出")
                    font.bold: true
                }
                Label {
                    objectName: "wedgeSummary"
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                    text: !KeyboardWedge.available ? qsTr("不可用：此桌面不让程序向其他窗口输入")
                          : KeyboardWedge.enabled ? qsTr("已开启 · 输入如 %1")
                                                    .arg(KeyboardWedge.visible(KeyboardWedge.format(12.345, AppSettings.weightUnit,
                                                                                                    KeyboardWedge.withUnit,
                                                                                                    KeyboardWedge.decimalComma,
                                                                                                    KeyboardWedge.terminator)))
                          : qsTr("未开启：重量不输入到其他程序")
                }
                Button {
                    objectName: "wedgeButton"
                    text: qsTr("键盘输出设置…")
                    onClicked: wedgeDialog.open()
                }
                Label {
                    text: qsTr("服务器")
                    font.bold: true
                }
                Label {
                    objectName: "serverSummary"
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                    text: FleetLink.enabled ? qsTr("%1@%2 · %3").arg(FleetLink.user).arg(FleetLink.host)
                                                                 .arg(FleetLink.statusText)
                                            : qsTr("未开启：记录只保存在本机")
                }
                Button {
                    objectName: "serverButton"
                    text: qsTr("服务器设置…")
                    onClicked: serverDialog.open()
                }
                Label {
                    text: qsTr("本机接口")
                    font.bold: true
                }
                Label {
                    objectName: "apiSummary"
                    Layout.fillWidth: true
                    elide: Text.ElideRight
                    text: ApiServer.enabled ? ApiServer.statusText
                                            : qsTr("未开启：其他程序不能读取重量")
                }
                Button {
                    objectName: "apiButton"
                    text: qsTr("接口设置…")
                    onClicked: apiDialog.open()
                }
            }
        }

        Item {
            Layout.fillHeight: true
        }
    }

    Fleet.ServerDialog {
        id: serverDialog
    }

    Api.ApiDialog {
        id: apiDialog
    }

    Wedge.WedgeDialog {
        id: wedgeDialog
    }
}
