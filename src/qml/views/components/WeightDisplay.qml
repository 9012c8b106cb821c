import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// The live weight panel: caption, readout with unit and badge, and the zero and tare buttons.
// The reading itself (parsing, freshness, the stale timeout) lives in a WeightReading: the
// window's, when one is given, else one of the panel's own that follows serialPort.
Rectangle {
    id: root

    // The SerialPortManager (or anything with isConnected, receivedData and sendData).
    property var serialPort: null
    property string lineEnding: WeighProtocol.LineEnding.CR

    property real weightValue: root._reading.weightKg
    property bool stable: root._reading.stable
    property bool overload: root._reading.overload
    property bool hasWeightFrame: root._reading.hasFrame
    property string stableText: !root._portReady ? qsTr("未连接")
                              : !root._reading.hasFrame || root._reading.stale ? qsTr("等待数据")
                              : root._reading.overload ? qsTr("超载")
                              : root._reading.stable ? qsTr("稳定") : qsTr("不稳定")
    property int fractionDigits: 3
    property int unitIndex: 1
    property int outputFormatValue: 1

    property color badgeColor: "#2ECC71"
    property color warningColor: "#F39C12"
    property color errorColor: "#E53935"
    property color tareButtonColor: "#F59E0B"
    property color buttonColor: "#4C5CC5"
    property color valueColor: "#4C5CC5"

    // Bound to the port's own notifications, so the buttons and the badge follow it.
    readonly property bool _portReady: !!root.serialPort && !!root.serialPort.isConnected
    readonly property color displayBadgeColor: {
        if (!root._portReady || !root.hasWeightFrame || root._reading.stale)
            return "#95A5A6"
        if (root.overload)
            return root.errorColor
        return root.stable ? root.badgeColor : root.warningColor
    }
    readonly property string displayUnitText: root.unitIndex === 0 ? qsTr("斤") : qsTr("公斤")
    // Weights are kept in kilograms; one kilogram is two jin.
    readonly property real displayWeight: root.unitIndex === 0 ? root.weightValue * 2.0 : root.weightValue

    signal zeroRequested()
    signal tareRequested()

    // A reading that no newer frame has followed for this long is no longer shown as live.
    property int staleTimeoutMs: 2000
    property color staleValueColor: "#B0BEC5"
    // The shown reading is the sensor's current one: a frame of this connection that is
    // younger than staleTimeoutMs.
    readonly property bool live: root._portReady && root._reading.hasFrame && !root._reading.stale
    // The tare in kilograms, NaN while unknown: the page that asks the sensor for it sets it.
    property real tareKg: NaN
    // The shown reading is net, as its frame says (the "n" of a Merovant frame).
    readonly property bool net: root._reading.net
    // The window's reading; without one the panel reads serialPort itself.
    property WeightReading reading: null
    readonly property WeightReading _reading: root.reading ? root.reading : ownReading
    // What the port offers beyond receivedData, looked up once per port, not per chunk.
    readonly property bool _portHasTail: !!root.serialPort && typeof root.serialPort.receivedTail === "function"
    readonly property bool _portHasTextEnd: !!root.serialPort && typeof root.serialPort.receivedTextEnd === "function"
    // The reading follows this port's chunks itself.
    readonly property bool _followed: root._reading.following && root._reading.port === root.serialPort

    Layout.fillWidth: true
    Layout.fillHeight: true
    color: Material.background
    radius: 12
    border.width: 1
    border.color: Material.dividerColor

    // Reads the port state afresh: handlers may run before the bindings above have caught up.
    function _isPortConnected() {
        return !!root.serialPort && !!root.serialPort.isConnected
    }

    function loadDisplayPreferences() {
        root.unitIndex = AppSettings.weightUnit
        root.outputFormatValue = AppSettings.outputFormat
    }

    function resetWeightState() {
        root._reading.reset(root._isPortConnected())
    }

    function applyWeightFrame(frame) {
        if (!frame)
            return
        root._reading.applyFrame(frame)
    }

    function updateWeightFromBuffer() {
        if (!root._isPortConnected()) {
            root.resetWeightState()
            return
        }
        if (root._followed) {
            root._reading.update()
            return
        }
        // Only what this connection brought counts, in the printable rendering whatever the
        // port's hex mode; where the text ends in the stream tells a new frame from the last.
        const port = root.serialPort
        root._reading.takeText(root._portHasTail ? port.receivedTail(2049) : port.receivedData,
                               root._portHasTextEnd ? port.receivedTextEnd() : -1)
    }

    function sendAtCommand(payload) {
        if (payload === undefined || payload === null || payload === "")
            return false
        if (!root._isPortConnected())
            return false
        root.serialPort.sendData(payload, false)
        return true
    }

    function doZero() {
        return root.sendAtCommand(WeighProtocol.zero(root.lineEnding))
    }

    function doTare() {
        return root.sendAtCommand(WeighProtocol.tare(root.lineEnding))
    }

    // Switches the sensor to uploading weights by itself and asks for one right away.
    function enableWeightStreaming() {
        if (!root._isPortConnected())
            return
        root.sendAtCommand(WeighProtocol.autoSet(true, root.lineEnding))
        root.sendAtCommand(WeighProtocol.weightQuery(root.lineEnding))
    }

    Component.onCompleted: {
        root.loadDisplayPreferences()
        root.resetWeightState()
        root.enableWeightStreaming()
        root.updateWeightFromBuffer()
    }

    Connections {
        target: SettingsStore

        function onValueChanged(key, value) {
            if (key === "weight/unit") {
                root.loadDisplayPreferences()
            } else if (key === "scale/outputFormatIndex") {
                root.loadDisplayPreferences()
                root.updateWeightFromBuffer()
            }
        }
    }

    // The chunks of a port the reading does not follow itself.
    Connections {
        target: root.serialPort && !root._followed ? root.serialPort : null
        ignoreUnknownSignals: true

        function onReceivedDataChanged() {
            root.updateWeightFromBuffer()
        }
    }

    Connections {
        target: root.serialPort ? root.serialPort : null
        ignoreUnknownSignals: true

        function onConnectionChanged() {
            if (root._isPortConnected()) {
                // A new connection: nothing received before it is the current reading.
                root.resetWeightState()
                root.enableWeightStreaming()
            }
            root.updateWeightFromBuffer()
        }
    }

    WeightReading {
        id: ownReading

        port: root.reading ? null : root.serialPort
    }

    // The panel's format and timeout are the reading's.
    Binding {
        target: root._reading
        property: "format"
        value: root.outputFormatValue
    }
    Binding {
        target: root._reading
        property: "staleTimeoutMs"
        value: root.staleTimeoutMs
    }

    RowLayout {
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14

        Rectangle {
            Layout.preferredWidth: 88
            Layout.fillHeight: true
            color: "transparent"

            Column {
                anchors.centerIn: parent
                spacing: 4

                Label {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("重")
                    font.bold: true
                    font.pixelSize: 28
                    color: Material.foreground
                }
                Label {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("量")
                    font.bold: true
                    font.pixelSize: 28
                    color: Material.foreground
                }
            }
        }

        ColumnLayout {
            Layout.preferredWidth: Math.min(520, root.width - 376)
            // Big digits take every pixel the buttons leave.
            Layout.maximumWidth: root.bigDigits ? Infinity : 520
            Layout.fillWidth: root.bigDigits
            Layout.fillHeight: true
            spacing: 0

            Rectangle {
                Layout.fillWidth: true
                Layout.preferredHeight: 42
                color: "transparent"
                border.width: 1
                border.color: Material.dividerColor

                RowLayout {
                    anchors.fill: parent
                    anchors.margins: 10
                    spacing: 8

                    Label {
                        objectName: "unitText"
                        text: root.displayUnitText
                        font.bold: true
                        font.pixelSize: 13
                        color: Material.hintTextColor
                    }
                    // A known tare makes what is shown net, whatever the frame's format says.
                    Label {
                        objectName: "netLabel"
                        visible: root.net || root.tareKg > 0
                        text: qsTr("净重")
                        font.bold: true
                        font.pixelSize: 13
                        color: root.tareButtonColor
                    }
                    Label {
                        objectName: "tareText"
                        visible: isFinite(root.tareKg)
                        text: qsTr("皮重 %1 %2")
                              .arg(root._reading.formatWeight(root.unitIndex === 0 ? root.tareKg * 2.0 : root.tareKg,
                                                             root.fractionDigits))
                              .arg(root.displayUnitText)
                        font.pixelSize: 13
                        color: Material.hintTextColor
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                    Button {
                        objectName: "bigDigitsButton"
                        highlighted: root.bigDigits
                        flat: true
                        topInset: 0
                        bottomInset: 0
                        padding: 0
                        horizontalPadding: 6
                        implicitHeight: 22
                        font.pixelSize: 13
                        text: qsTr("大字")
                        onClicked: AppSettings.setBigDigits(!root.bigDigits)
                    }
                    Rectangle {
                        objectName: "badge"
                        implicitWidth: 70
                        implicitHeight: 24
                        radius: 6
                        color: root.displayBadgeColor

                        Label {
                            objectName: "badgeText"
                            anchors.centerIn: parent
                            text: root.stableText
                            color: "white"
                            font.bold: true
                            font.pixelSize: 13
                        }
                    }
                }
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.fillHeight: true
                color: "transparent"
                border.width: 1
                border.color: Material.dividerColor

                // The reading's size at 60 px, which the big digits scale from.
                TextMetrics {
                    id: digitsAt60

                    font.family: weightText.font.family
                    font.bold: true
                    font.pixelSize: 60
                    // Measured only while it is needed: a layout for every reading costs.
                    text: root.bigDigits ? weightText.text : ""
                }

                Label {
                    id: weightText

                    objectName: "weightText"
                    anchors.centerIn: parent
                    text: root._reading.formatWeight(root.displayWeight, root.fractionDigits)
                    font.bold: true
                    // Big, the digits grow from their 60 px until the readout's width or height
                    // stops them.
                    font.pixelSize: root.bigDigits
                                    ? Math.max(60, Math.floor(60 * Math.min((parent.width - 24) / digitsAt60.advanceWidth,
                                                                            (parent.height - 12) / digitsAt60.height)))
                                    : 60
                    // Only a current reading is drawn in the live colour: a 0.000 with no
                    // sensor, or before this connection's first frame, is no empty platform.
                    color: !root.live ? root.staleValueColor : root.overload ? root.errorColor : root.valueColor
                }
            }
        }

        Rectangle {
            Layout.preferredWidth: 224
            Layout.minimumWidth: 224
            Layout.fillWidth: !root.bigDigits
            Layout.fillHeight: true
            color: "transparent"

            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 2
                spacing: 10

                Button {
                    id: zeroButton
                    objectName: "zeroButton"
                    topInset: 0
                    bottomInset: 0
                    // Without a connection the button is greyed, as a disabled control is.
                    opacity: enabled ? 1.0 : 0.4
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.minimumHeight: 108
                    Layout.preferredHeight: 108
                    enabled: root._portReady
                    contentItem: Label {
                        text: qsTr("置零")
                        font.bold: true
                        font.pixelSize: 30
                        color: "white"
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Rectangle {
                        radius: 10
                        color: zeroButton.down ? Qt.darker(root.buttonColor, 1.2) : root.buttonColor
                    }
                    onClicked: {
                        root.doZero()
                        root.zeroRequested()
                    }
                }

                Button {
                    id: tareButton
                    objectName: "tareButton"
                    topInset: 0
                    bottomInset: 0
                    // Without a connection the button is greyed, as a disabled control is.
                    opacity: enabled ? 1.0 : 0.4
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.minimumHeight: 108
                    Layout.preferredHeight: 108
                    enabled: root._portReady
                    contentItem: Label {
                        text: qsTr("去皮")
                        font.bold: true
                        font.pixelSize: 30
                        color: "white"
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Rectangle {
                        radius: 10
                        color: tareButton.down ? Qt.darker(root.tareButtonColor, 1.07) : root.tareButtonColor
                    }
                    onClicked: {
                        root.doTare()
                        root.tareRequested()
                    }
                }
            }
        }
    }

    // Digits that fill the readout, for a display read from across the shop floor; remembered.
    readonly property bool bigDigits: AppSettings.bigDigits
}
