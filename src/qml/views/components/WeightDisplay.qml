import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// The live weight panel: caption, readout with unit and badge, and the zero and tare buttons.
Rectangle {
    id: root

    // The SerialPortManager (or anything with isConnected, receivedData and sendData).
    property var serialPort: null
    property string lineEnding: WeighProtocol.LineEnding.CR

    property real weightValue: 0
    property bool stable: false
    property bool overload: false
    property bool hasWeightFrame: false
    property string stableText: qsTr("未连接")
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
        if (!root._portReady || !root.hasWeightFrame || root._stale)
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
    // The frame last applied (a new object for every frame), null after a reset.
    property var lastFrame: null
    // The shown reading is the sensor's current one: a frame of this connection that is
    // younger than staleTimeoutMs.
    readonly property bool live: root._portReady && root.hasWeightFrame && !root._stale
    property bool _stale: false
    // Where the last applied frame ended in the port's received text (see receivedTextEnd).
    property double _lastFrameEnd: -1
    // When the last frame was applied (Date.now()), for the stale timeout.
    property double _lastFrameAt: 0
    // What the port offers beyond receivedData, looked up once per port, not per chunk.
    readonly property bool _portHasTail: !!root.serialPort && typeof root.serialPort.receivedTail === "function"
    readonly property bool _portHasTextEnd: !!root.serialPort && typeof root.serialPort.receivedTextEnd === "function"
    readonly property bool _portScannable: scanner.canScan(root.serialPort)
    // The link's command queue knows which lines answered a command rather than report a weight.
    readonly property SensorChannel _answers: root.serialPort && root.serialPort.session
                                              ? root.serialPort.session.channel : null
    // The badge's reading texts, translated once rather than for every frame.
    readonly property string _overloadText: qsTr("超载")
    readonly property string _stableLabel: qsTr("稳定")
    readonly property string _unstableText: qsTr("不稳定")
    // The locale the digits are written in, looked up once rather than for every reading.
    readonly property var _locale: Qt.locale()
    // The tare in kilograms, NaN while unknown: the page that asks the sensor for it sets it.
    property real tareKg: NaN
    // The shown reading is net, as its frame says (the "n" of an SG+ASCII frame).
    property bool net: false

    Layout.fillWidth: true
    Layout.fillHeight: true
    color: Material.background
    radius: 12
    border.width: 1
    border.color: Material.dividerColor

    // A reading that rounds to zero shows without a sign: "-0.000" is no weight at all.
    function _formatWeight(value) {
        const half = 0.5 / Math.pow(10, root.fractionDigits)
        const shown = Math.abs(value) < half ? 0 : value
        return Number(shown).toLocaleString(root._locale, "f", root.fractionDigits)
    }

    // Reads the port state afresh: handlers may run before the bindings above have caught up.
    function _isPortConnected() {
        return !!root.serialPort && !!root.serialPort.isConnected
    }

    // Leading whole number of a stored value, decimal or 0x hex; NaN when there is none.
    // Settings may come back as numbers or as their text, so both go through String().
    function _readInteger(value) {
        return parseInt(String(value))
    }

    function loadDisplayPreferences() {
        const unit = root._readInteger(SettingsStore.value("weight/unit", 1))
        root.unitIndex = (unit === 0 || unit === 1) ? unit : 1
        const format = root._readInteger(SettingsStore.value("scale/outputFormatIndex", 1))
        root.outputFormatValue = (format === 1 || format === 2 || format === 3) ? format : 1
    }

    function resetWeightState() {
        root.weightValue = 0
        root.stable = false
        root.overload = false
        root.hasWeightFrame = false
        root.net = false
        root.stableText = root._isPortConnected() ? qsTr("等待数据") : qsTr("未连接")
        root.lastFrame = null
        root._stale = false
        root._lastFrameEnd = -1
        staleTimer.stop()
    }

    function applyWeightFrame(frame) {
        if (!frame)
            return
        root._showFrame(frame)
        // A frame applied is a current reading: it is live for the next staleTimeoutMs.
        root._stale = false
        root.lastFrame = frame
        root._lastFrameAt = Date.now()
        // Restarting a timer for every frame costs more than the frame itself at full wire
        // speed: a running timer that fires no later than this frame's timeout is left alone,
        // and when it fires it waits out whatever is left of the newest frame's timeout.
        if (!staleTimer.running || staleTimer.interval > root.staleTimeoutMs)
            staleTimer.arm(root.staleTimeoutMs)
    }

    function _showFrame(frame) {
        root.net = !!frame.net
        root._showReading(Number(frame.weight), !!frame.stable, !!frame.overload)
    }

    // Typed, so that it is compiled ahead of time: it runs for every frame.
    function _showReading(weight: real, stable: bool, overload: bool) {
        root.weightValue = weight
        root.overload = overload
        // Overload wins: the badge never claims a stable reading beyond the range.
        root.stable = stable && !overload
        root.hasWeightFrame = true
        root.stableText = overload ? root._overloadText
                        : root.stable ? root._stableLabel : root._unstableText
    }

    function updateWeightFromBuffer() {
        if (!root._isPortConnected()) {
            root.resetWeightState()
            return
        }
        const port = root.serialPort
        // A SerialPortManager's native frames are read from its buffer by the scanner, which
        // finds exactly what the script parser finds in the same tails below, and where it ends.
        if (root._portScannable && root.outputFormatValue !== 2 && root.outputFormatValue !== 3) {
            if (scanner.scanPort(port))
                root._takeFrame({
                    kind: "weight",
                    status: scanner.status,
                    weight: scanner.weight,
                    stable: scanner.stable,
                    overload: scanner.overload,
                    raw: scanner.raw
                }, scanner.end)
            else
                root._noFrame()
            return
        }
        const hasTail = root._portHasTail
        const parse = root.outputFormatValue === 2 ? WeighProtocol.parseLatestMerovantWeightFromBuffer
                    : root.outputFormatValue === 3 ? WeighProtocol.parseLatestNumericWeightFromBuffer
                    : WeighProtocol.parseLatestWeightFromBuffer
        // Only what this connection brought counts, in the printable rendering whatever the
        // port's hex mode. The newest frame is nearly always in the last few lines, so a
        // short end is tried first and the parsers' full tail only when it holds none; one
        // character more than is scanned tells a parser whether its piece starts mid-line.
        let text = hasTail ? port.receivedTail(65) : port.receivedData
        let frame = hasTail ? parse(text, 64) : parse(text)
        if (!frame && hasTail && text.length > 64) {
            text = port.receivedTail(2049)
            frame = parse(text)
        }
        // A serial number of bare digits reads as a weight of the ASCII format: it is none.
        if (!frame || (root._answers && root._answers.isAnswerLine(frame.raw))) {
            root._noFrame()
            return
        }
        // Where the frame ends in the stream, when the port can tell.
        const end = hasTail && root._portHasTextEnd
                ? port.receivedTextEnd() - text.length + text.lastIndexOf(frame.raw) + frame.raw.length
                : null
        root._takeFrame(frame, end)
    }

    // Keeps the last reading on display; only leaves the "not connected" state.
    function _noFrame() {
        if (root.stableText === qsTr("未连接"))
            root.stableText = qsTr("等待数据")
    }

    // The latest frame may be the one already shown (a reply arrived, not a reading): only a
    // frame that ends further on in the stream (end, null when unknown) keeps the reading live.
    function _takeFrame(frame, end) {
        let fresh = true
        if (end !== null) {
            fresh = end > root._lastFrameEnd
            if (fresh)
                root._lastFrameEnd = end
        }
        if (fresh)
            root.applyWeightFrame(frame)
        else if (!root._stale)
            root._showFrame(frame) // the same reading, or an older one of a new format
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

    // The chunks the scanner does not follow itself.
    Connections {
        target: root.serialPort && !scanner.port ? root.serialPort : null
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

    // A SerialPortManager's chunks in the native format are followed by the scanner, which
    // writes their frames here as updateWeightFromBuffer() would, without a script call per
    // chunk.
    FrameScanner {
        id: scanner
        display: root
        timer: staleTimer
        port: root._portScannable && root.outputFormatValue !== 2 && root.outputFormatValue !== 3
              ? root.serialPort : null
    }

    Timer {
        id: staleTimer

        function arm(ms) {
            staleTimer.interval = Math.max(1, ms)
            staleTimer.restart()
        }

        onTriggered: {
            if (!root.hasWeightFrame)
                return
            const left = root._lastFrameAt + root.staleTimeoutMs - Date.now()
            if (left > root.staleTimeoutMs) {
                // The wall clock was set back: count the timeout afresh from now.
                root._lastFrameAt = Date.now()
                staleTimer.arm(root.staleTimeoutMs)
                return
            }
            if (left > 0) {
                staleTimer.arm(left)
                return
            }
            root._stale = true
            root.stableText = qsTr("等待数据")
        }
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
                              .arg(root._formatWeight(root.unitIndex === 0 ? root.tareKg * 2.0 : root.tareKg))
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
                        onClicked: SettingsStore.setValue("display/bigDigits", !root.bigDigits)
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
                    text: weightText.text
                }

                Label {
                    id: weightText

                    objectName: "weightText"
                    anchors.centerIn: parent
                    text: root._formatWeight(root.displayWeight)
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
    property bool bigDigits: String(SettingsStore.value("display/bigDigits", false)) === "true"

    Connections {
        target: SettingsStore

        function onValueChanged(key, value) {
            if (key === "display/bigDigits")
                root.bigDigits = String(value) === "true"
        }
    }
}
