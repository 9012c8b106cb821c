pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// Reads, sets and calibrates the sensor. Every value shown is what the sensor reported or
// confirmed; a refused or unanswered setting leaves the confirmed value in place.
ToolPage {
    id: root

    objectName: "sensorPage"
    titleText: qsTr("传感器")

    readonly property var serialPort: Router.serialPortManager
    property string lineEnding: WeighProtocol.LineEnding.CR

    property string versionText: ""
    property string snText: ""
    property string identityState: "idle" // idle, reading, value, noreply, error

    // The parameters in the order shown. options: the valid values; min/max: a range.
    readonly property var _params: [
        { key: "AUTO", label: qsTr("上传模式"), query: "autoQuery", set: "autoSet",
          options: [{ value: "0", text: qsTr("不自动上传") }, { value: "1", text: qsTr("自动上传") }] },
        { key: "OPENC", label: qsTr("上电置零"), query: "opencQuery", set: "opencSet",
          options: [{ value: "0", text: qsTr("否") }, { value: "1", text: qsTr("是") }] },
        { key: "DIV", label: qsTr("分度值 (g)"), query: "divQuery", set: "divSet",
          options: root._plain(["1", "2", "5", "10", "20", "50", "100"]) },
        { key: "CAPA", label: qsTr("满量程 (kg)"), query: "capaQuery", set: "capaSet", min: 1, max: 100000 },
        { key: "DEC", label: qsTr("小数位数"), query: "decQuery", set: "decSet", min: 0, max: 4 },
        { key: "FILTER", label: qsTr("滤波等级"), query: "filterQuery", set: "filterSet",
          options: [{ value: "0", text: qsTr("自动") }, { value: "1", text: qsTr("静态") },
                    { value: "2", text: qsTr("动态 (动物)") }, { value: "3", text: qsTr("测试") }] },
        { key: "ZTRACK", label: qsTr("零点跟踪范围 (e)"), query: "ztrackQuery", set: "ztrackSet",
          options: root._plain(["0", "0.5", "1", "1.5", "2", "2.5", "3"]) },
        { key: "PRINTX", label: qsTr("输出格式"), query: "printxQuery", set: "printxSet",
          options: [{ value: "1", text: qsTr("原始格式") }, { value: "2", text: qsTr("SG+ASCII") },
                    { value: "3", text: qsTr("ASCII") }] },
        { key: "SAMPLERT", label: qsTr("采样速率"), query: "samplertQuery", set: "samplertSet",
          options: [{ value: "0", text: qsTr("10 Hz") }, { value: "1", text: qsTr("80 Hz") }] },
        { key: "REPORTRT", label: qsTr("上传速率 (次/秒)"), query: "reportrtQuery", set: "reportrtSet", min: 0, max: 30 },
        { key: "CHANNEL", label: qsTr("通信端口"), query: "channelQuery", set: "channelSet",
          options: [{ value: "UART1", text: "UART1" }, { value: "UART2", text: "UART2" }] },
        { key: "DEBUG", label: qsTr("调试模式"), query: "debugQuery", set: "debugSet",
          options: [{ value: "0", text: qsTr("关") }, { value: "1", text: qsTr("开") }] },
        { key: "WCAL", label: qsTr("标定砝码 (g)"), query: "wcalQuery" },
        { key: "QTAR", label: qsTr("当前皮重"), query: "qtarQuery" }
    ]

    // Request id -> what it was for: { row, set, value } or { identity: "version" / "sn" }.
    property var _requests: ({})
    property int storedFormat: 1
    readonly property string sensorFormat: root.rowValue("PRINTX")
    readonly property bool formatMismatch: root.sensorFormat !== "" && Number(root.sensorFormat) !== root.storedFormat

    // Calibration: 0 idle, 1 zero, 2 span, 3 check; calWaiting while a step awaits its reply.
    property int calStep: 0
    property bool calWaiting: false
    property int _calRequest: -1
    property string calMessage: ""
    property real calReferenceKg: 0
    property real liveWeight: 0
    property bool liveValid: false

    function _plain(values) {
        const options = []
        for (const v of values)
            options.push({ value: v, text: v })
        return options
    }
    // One state a parameter: { value, phase, message }; replaced whole so bindings follow.
    property var rowStates: []
    function _updateRow(i, fields) {
        const states = root.rowStates.slice()
        states[i] = Object.assign({}, states[i], fields)
        root.rowStates = states
    }
    function rowIndex(key) {
        for (let i = 0; i < root._params.length; ++i) {
            if (root._params[i].key === key)
                return i
        }
        return -1
    }
    function rowValue(key) {
        const i = root.rowIndex(key)
        return i >= 0 && root.rowStates.length > i ? root.rowStates[i].value : ""
    }
    function _build(name, args) {
        // qmllint disable
        return WeighProtocol[name].apply(null, args)
        // qmllint enable
    }
    function _query(param) {
        // The debug mode is asked for under the name of the command table.
        if (param.key === "DEBUG")
            return WeighProtocol.debugQuery(root.lineEnding, "DEBUG")
        return root._build(param.query, [root.lineEnding])
    }
    function _track(id, what) {
        if (id < 0)
            return false
        const map = root._requests
        map[id] = what
        root._requests = map
        return true
    }

    function readIdentity() {
        root.identityState = "reading"
        root._track(channel.request(WeighProtocol.versionQuery(root.lineEnding), "VERSION"), { identity: "version" })
        root._track(channel.request(WeighProtocol.snQuery(root.lineEnding), "SN"), { identity: "sn" })
    }
    function readRow(i) {
        const param = root._params[i]
        if (root._track(channel.request(root._query(param), param.key), { row: i, set: false }))
            root._updateRow(i, { phase: "reading" })
    }
    function readAll() {
        for (let i = 0; i < root._params.length; ++i)
            root.readRow(i)
    }
    function setRow(i, value) {
        const param = root._params[i]
        let command
        if (param.key === "DEBUG")
            command = WeighProtocol.debugSet(value === "1", root.lineEnding, "DEBUG")
        else if (param.key === "AUTO" || param.key === "OPENC")
            command = root._build(param.set, [value === "1", root.lineEnding])
        else
            command = root._build(param.set, [value, root.lineEnding])
        if (root._track(channel.request(command, "OK|" + param.key), { row: i, set: true, value: String(value) }))
            root._updateRow(i, { phase: "setting" })
    }

    function _onReply(id, ok, text) {
        const what = root._requests[id]
        if (what === undefined) {
            if (id === root._calRequest)
                root._calReplied(ok, text)
            return
        }
        delete root._requests[id]
        const reply = WeighProtocol.parseLine(text) || {}
        if (what.identity !== undefined) {
            if (ok && what.identity === "version")
                root.versionText = reply.version || text
            else if (ok)
                root.snText = reply.sn || text
            root.identityState = ok ? "value" : "error"
            return
        }
        if (!ok) {
            root._updateRow(what.row, { phase: what.set ? "refused" : "error" })
            root._updateRow(what.row, { message: text })
            return
        }
        const value = reply.kind === "echo" ? reply.value : what.value
        root._updateRow(what.row, { value: value })
        root._updateRow(what.row, { phase: what.set ? "set" : "value" })
        root._updateRow(what.row, { message: "" })
        // The display keeps parsing the format the sensor now sends.
        if (what.set && root._params[what.row].key === "PRINTX")
            SettingsStore.setValue("scale/outputFormatIndex", Number(value))
    }
    function _onFailure(id, reason) {
        const what = root._requests[id]
        if (what === undefined) {
            if (id === root._calRequest)
                root._calReplied(false, reason === "timeout" ? qsTr("无应答") : qsTr("连接已断开"))
            return
        }
        delete root._requests[id]
        if (what.identity !== undefined) {
            root.identityState = "noreply"
            return
        }
        root._updateRow(what.row, { phase: what.set ? "setNoReply" : "noreply" })
        root._updateRow(what.row, { message: reason === "timeout" ? "" : qsTr("连接已断开") })
    }

    function stateText(phase, value, message) {
        switch (phase) {
        case "idle": return qsTr("未读取")
        case "reading": return qsTr("读取中…")
        case "setting": return qsTr("设置中…")
        case "value": return value
        case "set": return qsTr("%1 (已确认)").arg(value)
        case "noreply": return qsTr("无应答")
        case "setNoReply": return qsTr("设置无应答")
        case "error": return qsTr("错误: %1").arg(message)
        case "refused": return qsTr("设置被拒绝: %1").arg(message)
        }
        return ""
    }
    function valueLabel(i, value) {
        const options = root._params[i].options
        if (value === "" || !options)
            return value
        for (const o of options) {
            if (o.value === value && o.text !== value)
                return value + " (" + o.text + ")"
        }
        return value
    }

    // --- calibration
    function startCalibration() {
        root.calStep = 1
        root.calWaiting = false
        root.calMessage = qsTr("清空秤台，然后标定零点。")
    }
    function calibrateZero() {
        root._calRequest = channel.request(WeighProtocol.zcal(root.lineEnding), "OK")
        root.calWaiting = root._calRequest >= 0
    }
    function calibrateSpan(mass, unitIndex) {
        const grams = Math.round(Number(mass) * (unitIndex === 0 ? 1000 : 1))
        if (!(grams > 0)) {
            root.calMessage = qsTr("请输入砝码质量")
            return
        }
        root.calReferenceKg = grams / 1000
        root._calRequest = channel.request(WeighProtocol.wcalSet(grams, root.lineEnding), "OK|WCAL")
        root.calWaiting = root._calRequest >= 0
    }
    function _calReplied(ok, text) {
        root._calRequest = -1
        root.calWaiting = false
        if (!ok) {
            root.calMessage = qsTr("传感器未确认: %1").arg(text)
            return
        }
        if (root.calStep === 1) {
            root.calStep = 2
            root.calMessage = qsTr("零点已标定。放上已知质量的砝码，输入其质量后标定。")
        } else if (root.calStep === 2) {
            root.calStep = 3
            root.calMessage = qsTr("标定完成。核对实时读数与砝码质量。")
            root.readRow(root.rowIndex("WCAL"))
        }
    }
    function cancelCalibration() {
        let left
        if (root.calWaiting)
            left = root.calStep === 1 ? qsTr("已取消：零点标定命令已发出，传感器可能已执行。")
                                      : qsTr("已取消：量程标定命令已发出，传感器可能已执行。")
        else if (root.calStep === 1)
            left = qsTr("已取消：标定未改变。")
        else if (root.calStep === 2)
            left = qsTr("已取消：零点已重新标定，量程未变。")
        else
            left = qsTr("标定已结束。")
        root._calRequest = -1
        root.calWaiting = false
        root.calStep = 0
        root.calMessage = left
    }
    function _updateLive() {
        if (root.calStep !== 3 || !root.serialPort)
            return
        const text = root.serialPort.receivedTail(2049)
        let frame
        if (root.storedFormat === 2)
            frame = WeighProtocol.parseLatestMerovantWeightFromBuffer(text)
        else if (root.storedFormat === 3)
            frame = WeighProtocol.parseLatestNumericWeightFromBuffer(text)
        else
            frame = WeighProtocol.parseLatestWeightFromBuffer(text)
        root.liveValid = !!frame
        if (frame)
            root.liveWeight = frame.weight
    }
    function _loadStoredFormat() {
        const f = parseInt(String(SettingsStore.value("scale/outputFormatIndex", 1)))
        root.storedFormat = (f === 1 || f === 2 || f === 3) ? f : 1
    }

    function _opened() {
        if (!root.connected)
            return
        root.readIdentity()
    }

    onConnectedChanged: {
        // Requests in flight fail by themselves when the link closes.
        if (!root.connected && root.calStep !== 0)
            root.cancelCalibration()
        root._opened()
    }
    Component.onCompleted: {
        const states = []
        for (let i = 0; i < root._params.length; ++i)
            states.push({ value: "", phase: "idle", message: "" })
        root.rowStates = states
        root._loadStoredFormat()
        root._opened()
    }

    SensorChannel {
        id: channel

        serialPort: root.serialPort
        timeout: 1000
        onReplied: function(id, ok, text) { root._onReply(id, ok, text) }
        onFailed: function(id, reason) { root._onFailure(id, reason) }
    }

    Connections {
        target: SettingsStore
        function onValueChanged(key, value) {
            if (key === "scale/outputFormatIndex")
                root._loadStoredFormat()
        }
    }
    Connections {
        target: root.serialPort
        enabled: root.calStep === 3
        function onReceivedDataChanged() { root._updateLive() }
    }

    ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            width: parent.width
            spacing: 12

            Label {
                objectName: "notConnectedLabel"
                Layout.fillWidth: true
                Layout.margins: 16
                Layout.bottomMargin: 0
                visible: !root.connected
                text: qsTr("未连接传感器：连接后才能读取、设置和标定。")
                color: "#e74c3c"
                font.pixelSize: 15
            }

            // Identity and read all
            Pane {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Layout.topMargin: root.connected ? 16 : 0
                Material.elevation: 1

                RowLayout {
                    anchors.fill: parent
                    spacing: 24

                    Label {
                        objectName: "versionLabel"
                        text: qsTr("固件版本: %1").arg(root.versionText !== "" ? root.versionText
                                                      : root.stateText(root.identityState, "", ""))
                        font.pixelSize: 14
                    }
                    Label {
                        objectName: "snLabel"
                        text: qsTr("序列号: %1").arg(root.snText !== "" ? root.snText
                                                   : root.stateText(root.identityState, "", ""))
                        font.pixelSize: 14
                    }
                    Item { Layout.fillWidth: true }
                    Label {
                        objectName: "formatMismatchLabel"
                        visible: root.formatMismatch
                        text: qsTr("传感器输出格式 (%1) 与本机设置 (%2) 不一致").arg(root.sensorFormat).arg(root.storedFormat)
                        color: "#e74c3c"
                    }
                    Button {
                        objectName: "readAllButton"
                        flat: true
                        text: qsTr("全部读取")
                        enabled: root.connected
                        highlighted: true
                        onClicked: {
                            root.readIdentity()
                            root.readAll()
                        }
                    }
                }
            }

            // Parameters
            Pane {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Material.elevation: 1

                GridLayout {
                    anchors.fill: parent
                    columns: 2
                    columnSpacing: 24
                    rowSpacing: 2

                    Repeater {
                        model: root._params

                        delegate: RowLayout {
                            id: row

                            required property int index
                            required property var modelData
                            readonly property var param: row.modelData
                            readonly property string key: row.param.key
                            readonly property var rowState: root.rowStates[row.index] || ({})
                            readonly property string value: row.rowState.value || ""
                            readonly property string phase: row.rowState.phase || "idle"
                            readonly property string message: row.rowState.message || ""
                            readonly property bool editable: row.param.set !== undefined
                            readonly property bool choice: row.param.options !== undefined

                            objectName: "row_" + row.key
                            Layout.fillWidth: true
                            Layout.preferredWidth: 1
                            spacing: 8

                            // The editors start from the value the sensor confirmed.
                            onValueChanged: {
                                if (row.choice)
                                    choiceEditor.currentIndex = choiceEditor.indexOfValue(row.value)
                                else if (row.editable && row.value !== "")
                                    rangeEditor.value = Number(row.value)
                            }

                            Label {
                                text: row.param.label
                                Layout.preferredWidth: 130
                                font.pixelSize: 13
                            }
                            Label {
                                objectName: "stateLabel"
                                Layout.fillWidth: true
                                text: root.stateText(row.phase, root.valueLabel(row.index, row.value), row.message)
                                elide: Text.ElideRight
                                font.pixelSize: 13
                                font.bold: row.phase === "value" || row.phase === "set"
                                color: row.phase === "error" || row.phase === "refused" || row.phase === "noreply"
                                       || row.phase === "setNoReply" ? "#e74c3c"
                                     : row.phase === "idle" ? row.Material.hintTextColor : row.Material.foreground
                            }
                            ComboBox {
                                id: choiceEditor

                                objectName: "choiceEditor"
                                visible: row.choice
                                enabled: root.connected
                                Layout.preferredWidth: 150
                                model: row.choice ? row.param.options : []
                                textRole: "text"
                                valueRole: "value"
                                font.pixelSize: 13
                            }
                            SpinBox {
                                id: rangeEditor

                                objectName: "rangeEditor"
                                visible: row.editable && !row.choice
                                enabled: root.connected
                                Layout.preferredWidth: 150
                                from: row.param.min !== undefined ? row.param.min : 0
                                to: row.param.max !== undefined ? row.param.max : 0
                                editable: true
                                font.pixelSize: 13
                            }
                            Item {
                                visible: !row.editable
                                Layout.preferredWidth: 150
                            }
                            Button {
                                objectName: "setButton"
                                text: qsTr("设置")
                                enabled: root.connected && row.editable && row.phase !== "setting"
                                opacity: row.editable ? 1 : 0
                                flat: true
                                onClicked: root.setRow(row.index, row.choice ? String(choiceEditor.currentValue)
                                                                             : String(rangeEditor.value))
                            }
                            Button {
                                objectName: "readButton"
                                text: qsTr("读取")
                                enabled: root.connected && row.phase !== "reading"
                                flat: true
                                onClicked: root.readRow(row.index)
                            }
                        }
                    }
                }
            }

            // Calibration
            Pane {
                objectName: "calibrationPane"
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Layout.bottomMargin: 16
                Material.elevation: 1

                ColumnLayout {
                    anchors.fill: parent
                    spacing: 8

                    RowLayout {
                        spacing: 16
                        Label {
                            text: qsTr("标定")
                            font.pixelSize: 16
                            font.bold: true
                        }
                        Label {
                            objectName: "calStepLabel"
                            text: root.calStep === 0 ? "" : qsTr("第 %1 步 / 共 3 步").arg(root.calStep)
                        }
                        Label {
                            objectName: "calMessageLabel"
                            Layout.fillWidth: true
                            text: root.calWaiting ? qsTr("等待传感器确认…") : root.calMessage
                            wrapMode: Text.Wrap
                        }
                    }
                    RowLayout {
                        spacing: 12
                        Button {
                            objectName: "calStartButton"
                            flat: true
                            visible: root.calStep === 0
                            enabled: root.connected
                            text: qsTr("开始标定")
                            onClicked: root.startCalibration()
                        }
                        Button {
                            objectName: "calZeroButton"
                            flat: true
                            visible: root.calStep === 1
                            enabled: root.connected && !root.calWaiting
                            highlighted: true
                            text: qsTr("标定零点")
                            onClicked: root.calibrateZero()
                        }
                        TextField {
                            id: massField

                            objectName: "calMassField"
                            visible: root.calStep === 2
                            enabled: root.connected && !root.calWaiting
                            placeholderText: qsTr("砝码质量")
                            validator: DoubleValidator { bottom: 0 }
                            Layout.preferredWidth: 120
                        }
                        ComboBox {
                            id: massUnit

                            objectName: "calUnitBox"
                            visible: root.calStep === 2
                            enabled: root.connected && !root.calWaiting
                            model: [qsTr("kg"), qsTr("g")]
                            Layout.preferredWidth: 90
                        }
                        Button {
                            objectName: "calSpanButton"
                            flat: true
                            visible: root.calStep === 2
                            enabled: root.connected && !root.calWaiting && massField.acceptableInput
                            highlighted: true
                            text: qsTr("标定量程")
                            onClicked: root.calibrateSpan(massField.text, massUnit.currentIndex)
                        }
                        Label {
                            objectName: "calCheckLabel"
                            visible: root.calStep === 3
                            font.pixelSize: 14
                            text: root.liveValid
                                  ? qsTr("实时读数 %1 kg   砝码 %2 kg   差值 %3 kg")
                                        .arg(root.liveWeight.toFixed(3)).arg(root.calReferenceKg.toFixed(3))
                                        .arg((root.liveWeight - root.calReferenceKg).toFixed(3))
                                  : qsTr("等待读数…")
                        }
                        Button {
                            objectName: "calCancelButton"
                            visible: root.calStep !== 0
                            text: root.calStep === 3 ? qsTr("完成") : qsTr("取消")
                            flat: true
                            onClicked: root.cancelCalibration()
                        }
                    }
                }
            }
        }
    }
}
