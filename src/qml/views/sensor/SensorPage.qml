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

    // What this connection has read of the sensor; it outlives the page.
    readonly property SensorSession session: root.serialPort ? root.serialPort.session : null
    readonly property SensorParameters parameters: root.session ? root.session.parameters : null
    readonly property var rows: root.parameters ? root.parameters.rows : ({})
    property int storedFormat: 1
    readonly property string sensorFormat: root.rowValue("PRINTX")
    readonly property bool formatMismatch: root.sensorFormat !== "" && Number(root.sensorFormat) !== root.storedFormat
    // Settings that change what the scale reports, or how it talks: asked before they go.
    readonly property var _guarded: ["AUTO", "DIV", "CAPA", "DEC", "PRINTX", "REPORTRT"]
    readonly property var _failedPhases: ["error", "refused", "noreply", "notApplied", "setNoReply",
                                          "unconfirmed", "lost"]

    // Calibration: 0 idle, 1 zero, 2 span, 3 check; calWaiting while a step awaits its reply.
    property int calStep: 0
    property bool calWaiting: false
    property int _calRequest: -1
    property string calMessage: ""
    property real calReferenceKg: 0
    // The check weighs with the window's reading: only a live one is a weight to check.
    readonly property WeightReading reading: Router.weightReading
    readonly property real liveWeight: root.reading ? root.reading.weightKg : 0
    readonly property bool liveValid: !!root.reading && root.reading.live

    function _plain(values) {
        const options = []
        for (const v of values)
            options.push({ value: v, text: v })
        return options
    }
    function rowIndex(key) {
        for (let i = 0; i < root._params.length; ++i) {
            if (root._params[i].key === key)
                return i
        }
        return -1
    }
    function rowState(key) {
        const row = root.rows[key]
        return row ? row : ({})
    }
    function rowValue(key) {
        return root.rowState(key).value || ""
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
    function _setCommand(param, value) {
        if (param.key === "DEBUG")
            return WeighProtocol.debugSet(value === "1", root.lineEnding, "DEBUG")
        if (param.key === "AUTO" || param.key === "OPENC")
            return root._build(param.set, [value === "1", root.lineEnding])
        return root._build(param.set, [value, root.lineEnding])
    }

    function readIdentity() {
        if (root.parameters)
            root.parameters.readIdentity(WeighProtocol.versionQuery(root.lineEnding),
                                         WeighProtocol.snQuery(root.lineEnding))
    }
    function readRow(i) {
        const param = root._params[i]
        return !!root.parameters && root.parameters.read(param.key, root._query(param))
    }
    function readAll() {
        for (let i = 0; i < root._params.length; ++i)
            root.readRow(i)
    }
    // Sends the setting as it is; requestSet() asks first where the setting needs it.
    function setRow(i, value) {
        const param = root._params[i]
        return !!root.parameters
                && root.parameters.write(param.key, root._setCommand(param, String(value)), String(value),
                                         root._query(param))
    }
    function requestSet(i, value) {
        const param = root._params[i]
        if (!root._guarded.includes(param.key)) {
            root.setRow(i, value)
            return
        }
        confirmDialog.ask(qsTr("将“%1”从 %2 改为 %3？").arg(param.label)
                              .arg(root.valueLabel(i, root.rowValue(param.key)))
                              .arg(root.valueLabel(i, String(value))),
                          function() { root.setRow(i, value) })
    }

    function stateText(row, shownValue) {
        const phase = row.phase || "idle"
        const known = shownValue !== "" ? shownValue : qsTr("未读取")
        switch (phase) {
        case "reading": return qsTr("读取中…")
        case "setting": return qsTr("设置中…")
        case "verifying": return qsTr("核对中…")
        case "value": return shownValue
        case "set": return qsTr("%1 (已确认)").arg(shownValue)
        case "noreply": return shownValue !== "" ? qsTr("%1 · 读取无应答").arg(shownValue) : qsTr("无应答")
        case "error": return qsTr("错误: %1").arg(row.message || "")
        case "refused": return qsTr("%1 · 设置被拒绝: %2").arg(known).arg(row.message || "")
        case "notApplied": return qsTr("%1 · 设置未生效").arg(known)
        case "setNoReply": return qsTr("%1 · 设置无应答").arg(known)
        case "unconfirmed": return qsTr("%1 · 设置未确认").arg(known)
        case "lost": return qsTr("%1 · 连接断开，传感器可能已执行").arg(known)
        }
        return qsTr("未读取")
    }
    function identityText(value) {
        if (value !== "")
            return value
        const state = root.parameters ? root.parameters.identityState : "idle"
        return state === "reading" ? qsTr("读取中…") : state === "done" ? qsTr("无应答") : qsTr("未读取")
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
    function _calSend(command) {
        root._calRequest = root.session ? root.session.channel.request(command) : -1
        root.calWaiting = root._calRequest >= 0
    }
    function calibrateZero() {
        confirmDialog.ask(qsTr("以秤台现在的状态标定零点？"),
                          function() { root._calSend(WeighProtocol.zcal(root.lineEnding)) })
    }
    function calibrateSpan(mass, unitIndex) {
        const grams = Math.round(Number(mass) * (unitIndex === 0 ? 1000 : 1))
        if (!(grams > 0)) {
            root.calMessage = qsTr("请输入砝码质量")
            return
        }
        confirmDialog.ask(qsTr("以 %1 kg 的砝码标定量程？").arg((grams / 1000).toFixed(3)), function() {
            root.calReferenceKg = grams / 1000
            root._calSend(WeighProtocol.wcalSet(grams, root.lineEnding))
        })
    }
    function _calStepName() {
        return root.calStep === 1 ? qsTr("零点标定") : qsTr("量程标定")
    }
    function _calReplied(ok, text) {
        root._calRequest = -1
        root.calWaiting = false
        if (!ok) {
            root.calMessage = qsTr("传感器拒绝了%1: %2").arg(root._calStepName()).arg(text)
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
    function _calFailed(reason) {
        root._calRequest = -1
        root.calWaiting = false
        if (reason === "timeout") {
            // The step stays: the operator may try it again.
            root.calMessage = qsTr("传感器未应答：无法确认%1是否已执行。").arg(root._calStepName())
            return
        }
        root.calMessage = reason === "closed"
                ? qsTr("连接已断开：%1命令已发出，传感器可能已执行。").arg(root._calStepName())
                : qsTr("连接已断开：%1命令未发出。").arg(root._calStepName())
        root.calStep = 0
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
    function _loadStoredFormat() {
        root.storedFormat = AppSettings.outputFormat
    }

    function _opened() {
        // Identity once a connection; values already read stay as they are.
        if (root.connected && root.parameters && root.parameters.identityState === "idle")
            root.readIdentity()
    }

    onConnectedChanged: {
        if (!root.connected && root.calStep !== 0) {
            if (root.calWaiting)
                root._calFailed("closed")
            else
                root.cancelCalibration()
        }
        root._opened()
    }
    Component.onCompleted: {
        root._loadStoredFormat()
        root._opened()
    }

    Connections {
        target: root.session ? root.session.channel : null
        function onReplied(id, ok, text) {
            if (id === root._calRequest)
                root._calReplied(ok, text)
        }
        function onFailed(id, reason) {
            if (id === root._calRequest)
                root._calFailed(reason)
        }
    }
    Connections {
        target: root.parameters
        // The display keeps parsing the format the sensor now sends.
        function onConfirmed(key, value) {
            if (key === "PRINTX")
                AppSettings.setOutputFormat(Number(value))
        }
    }

    Dialog {
        id: confirmDialog

        property var _action: null

        function ask(text, action) {
            confirmText.text = text
            confirmDialog._action = action
            confirmDialog.open()
        }

        objectName: "confirmDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(440, root.width - 32)
        modal: true
        title: qsTr("确认")
        standardButtons: Dialog.Ok | Dialog.Cancel
        // The frame reaches one pixel past the button row, which would cover its edge.
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: {
            const action = confirmDialog._action
            confirmDialog._action = null
            if (action)
                action()
        }
        onRejected: confirmDialog._action = null

        Label {
            id: confirmText

            objectName: "confirmText"
            width: confirmDialog.availableWidth
            wrapMode: Text.Wrap
        }
    }

    Connections {
        target: SettingsStore
        function onValueChanged(key, value) {
            if (key === "scale/outputFormatIndex")
                root._loadStoredFormat()
        }
    }

    ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth
        // The page never scrolls sideways. From Qt 6.5 on the horizontal bar is there all the
        // same, drawn empty, and takes the clicks along the bottom edge of the page.
        ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

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
                        text: qsTr("固件版本: %1").arg(root.identityText(root.parameters ? root.parameters.version : ""))
                        font.pixelSize: 14
                    }
                    Label {
                        objectName: "snLabel"
                        text: qsTr("序列号: %1").arg(root.identityText(root.parameters ? root.parameters.serialNumber : ""))
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
                    // Two columns of rows where they fit, one below that.
                    columns: root.width >= 1100 ? 2 : 1
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
                            readonly property var rowState: root.rowState(row.key)
                            readonly property string value: row.rowState.value || ""
                            readonly property string phase: row.rowState.phase || "idle"
                            readonly property bool editable: row.param.set !== undefined
                            readonly property bool choice: row.param.options !== undefined
                            readonly property bool busy: row.phase === "reading" || row.phase === "setting"
                                                         || row.phase === "verifying"
                            // Nothing is offered for a setting before the sensor has said what it is.
                            readonly property bool known: row.value !== ""
                            readonly property bool failed: root._failedPhases.includes(row.phase)

                            // The editors show what the sensor holds: after a read, and again after
                            // a refused or unanswered setting.
                            function resetEditor() {
                                // Read afresh: a handler may run before the bindings have caught up.
                                const value = root.rowValue(row.key)
                                if (row.choice)
                                    choiceEditor.currentIndex = value !== "" ? choiceEditor.indexOfValue(value) : -1
                                else if (row.editable)
                                    rangeEditor.text = value
                            }

                            objectName: "row_" + row.key
                            Layout.fillWidth: true
                            Layout.preferredWidth: 1
                            spacing: 8

                            onValueChanged: row.resetEditor()
                            onPhaseChanged: {
                                if (!row.busy)
                                    row.resetEditor()
                            }
                            Component.onCompleted: row.resetEditor()

                            Label {
                                text: row.param.label
                                Layout.preferredWidth: 130
                                font.pixelSize: 13
                            }
                            Label {
                                objectName: "stateLabel"
                                Layout.fillWidth: true
                                text: root.stateText(row.rowState, root.valueLabel(row.index, row.value))
                                // A refusal is read whole: it wraps rather than being cut.
                                wrapMode: Text.Wrap
                                maximumLineCount: 3
                                elide: Text.ElideRight
                                font.pixelSize: 13
                                font.bold: row.phase === "value" || row.phase === "set"
                                color: row.failed ? "#e74c3c"
                                     : row.phase === "idle" ? row.Material.hintTextColor : row.Material.foreground
                            }
                            ComboBox {
                                id: choiceEditor

                                objectName: "choiceEditor"
                                visible: row.choice
                                enabled: root.connected && row.known && !row.busy
                                Layout.preferredWidth: 150
                                model: row.choice ? row.param.options : []
                                textRole: "text"
                                valueRole: "value"
                                popup.background: PopupFrame {}
                                displayText: choiceEditor.currentIndex < 0 ? "" : choiceEditor.currentText
                                font.pixelSize: 13
                            }
                            TextField {
                                id: rangeEditor

                                objectName: "rangeEditor"
                                visible: row.editable && !row.choice
                                enabled: root.connected && row.known && !row.busy
                                Layout.preferredWidth: 150
                                validator: IntValidator {
                                    bottom: row.param.min !== undefined ? row.param.min : 0
                                    top: row.param.max !== undefined ? row.param.max : 0
                                }
                                font.pixelSize: 13
                            }
                            Item {
                                visible: !row.editable
                                Layout.preferredWidth: 150
                            }
                            Button {
                                objectName: "setButton"
                                text: qsTr("设置")
                                enabled: root.connected && row.editable && row.known && !row.busy
                                         && (row.choice ? choiceEditor.currentIndex >= 0 : rangeEditor.acceptableInput)
                                opacity: row.editable ? (enabled ? 1 : 0.4) : 0
                                flat: true
                                onClicked: root.requestSet(row.index, row.choice ? String(choiceEditor.currentValue)
                                                                                 : rangeEditor.text)
                            }
                            Button {
                                objectName: "readButton"
                                text: qsTr("读取")
                                enabled: root.connected && !row.busy
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
                            popup.background: PopupFrame {}
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
