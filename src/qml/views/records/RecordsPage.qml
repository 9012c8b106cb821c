pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

ToolPage {
    id: root

    // Raised buttons draw a plain background of their own: the style's is a shader effect,
    // which the software renderer (a PC without a GPU driver) leaves out, so that an enabled
    // button would read as a label.
    component RaisedButton: Button {
        id: raised

        background: Rectangle {
            implicitWidth: 64
            implicitHeight: 36
            radius: 4
            color: !raised.enabled ? "#1F000000" : raised.down ? "#BDBDBD" : "#E0E0E0"
        }
    }

    // Asks the operator for the reason of a void; done() only with one typed.
    component ReasonDialog: Dialog {
        id: reasonDialog

        property string prompt: ""
        signal done(string reason)

        function ask() {
            reasonField.text = ""
            reasonDialog.open()
            reasonField.forceActiveFocus()
        }

        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(480, root.width - 32)
        modal: true
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: reasonDialog.done(reasonField.text.trim())

        ColumnLayout {
            width: reasonDialog.availableWidth
            spacing: 8

            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: reasonDialog.prompt
            }
            TextField {
                id: reasonField

                objectName: reasonDialog.objectName + "Reason"
                Layout.fillWidth: true
                maximumLength: 200
                placeholderText: qsTr("作废原因（必填）")
                onAccepted: {
                    if (reasonField.text.trim().length > 0)
                        reasonDialog.accept()
                }
            }
        }

        footer: RowLayout {
            spacing: 8

            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: reasonDialog.objectName + "Ok"
                flat: true
                highlighted: true
                text: qsTr("作废")
                enabled: reasonField.text.trim().length > 0
                onClicked: reasonDialog.accept()
            }
            Button {
                objectName: reasonDialog.objectName + "Cancel"
                flat: true
                text: qsTr("取消")
                Layout.rightMargin: 12
                onClicked: reasonDialog.reject()
            }
        }
    }

    objectName: "recordsPage"

    property string exportMessage: ""
    property string chainMessage: ""

    // The days the export covers, checked before the dialog opens and used when it is accepted.
    property var _range: ({ fromMs: -1, toMs: -1 })
    // Whether the running export is the one-click export of today.
    property bool _today: false

    function startExport() {
        root._range = RecordStore.dayRange(fromField.text, toField.text)
        if (root._range.error !== undefined) {
            root.exportMessage = root._range.error
            return
        }
        root.exportMessage = ""
        fileDialog.start()
    }

    function exportTo(url) {
        const error = RecordStore.exportCsv(url, root._range.fromMs, root._range.toMs)
        root._today = false
        root.exportMessage = error.length > 0 ? error : qsTr("正在导出…")
    }

    function exportToday() {
        root._today = true
        root._sayStarted(RecordStore.exportToday())
    }

    function _sayStarted(result) {
        root.exportMessage = result.error.length > 0 ? result.error : qsTr("正在导出…")
    }

    // An export runs on the records' own thread; its end is told here.
    Connections {
        target: RecordStore

        function onVoidFailed(why) {
            root.exportMessage = why
        }

        function onCsvChecked(path, intact, text) {
            root.chainMessage = path.length > 0 ? qsTr("%1：%2").arg(path).arg(text) : qsTr("正在检查…")
        }

        function onExportFinished(path, error) {
            root.exportMessage = error.length > 0 ? error
                                                  : root._today ? qsTr("今日记录已导出到 %1").arg(path)
                                                                : qsTr("已导出到 %1").arg(path)
        }
    }

    titleText: qsTr("称重记录")

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            Label {
                objectName: "todaySummary"
                text: qsTr("今日 %1 条，合计 %2 公斤").arg(RecordStore.todayCount)
                        .arg(Number(RecordStore.todayTotalKg).toFixed(3))
                font.pixelSize: 18
            }
            Label {
                text: qsTr("共 %1 条").arg(RecordStore.count)
                color: "#607080"
            }
            Item {
                Layout.fillWidth: true
            }
            Label {
                text: qsTr("趋势")
            }
            ComboBox {
                id: windowBox

                objectName: "windowBox"
                model: [qsTr("1 分钟"), qsTr("5 分钟"), qsTr("15 分钟")]
                popup.background: PopupFrame {}
            }
            RaisedButton {
                objectName: "recordNowButton"
                text: qsTr("手动记录")
                enabled: WeighRecorder.canRecordNow && RecordStore.writable
                onClicked: WeighRecorder.recordNow()
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Label {
                text: qsTr("最小称量")
            }
            SpinBox {
                id: minDivisionsBox

                objectName: "minDivisionsBox"
                from: 1
                to: 100000
                editable: true
                value: WeighRecorder.minDivisions
                onValueModified: WeighRecorder.minDivisions = minDivisionsBox.value
            }
            Label {
                objectName: "minLoadLabel"
                Layout.fillWidth: true
                elide: Text.ElideRight
                text: qsTr("个分度（%1 kg）：低于它的读数不自动记录，回到它以下才记录下一次")
                        .arg(Number(WeighRecorder.minLoadKg).toFixed(3))
                color: "#607080"
            }
        }

        Label {
            objectName: "storeError"
            Layout.fillWidth: true
            visible: text.length > 0
            text: RecordStore.errorText
            color: "#E53935"
            wrapMode: Text.Wrap
        }

        // How far the shared server has the records, when one is set.
        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            visible: FleetLink.enabled

            Label {
                objectName: "syncStatus"
                text: FleetLink.statusText
                font.bold: true
                color: FleetLink.synced ? "#2E7D32" : "#EF6C00"
            }
            Label {
                id: syncError

                objectName: "syncError"
                Layout.fillWidth: true
                elide: Text.ElideRight
                visible: text.length > 0
                text: FleetLink.lastError.length > 0 ? qsTr("上次错误：%1").arg(FleetLink.lastError)
                      : FleetLink.serverChainText.length === 0 || FleetLink.serverChainText.startsWith(qsTr("服务器"))
                        ? FleetLink.serverChainText : qsTr("服务器上：%1").arg(FleetLink.serverChainText)
                color: FleetLink.lastError.length > 0 || FleetLink.serverChainText.indexOf(qsTr("断开")) >= 0
                       ? "#E53935" : root.Material.hintTextColor
                ToolTip.visible: syncHover.hovered && syncError.truncated
                ToolTip.text: syncError.text

                HoverHandler {
                    id: syncHover
                }
            }
        }

        // Whether the records are as they were written: the chain checked from its start.
        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Label {
                id: chainStatus

                objectName: "chainStatus"
                Layout.fillWidth: true
                elide: Text.ElideRight
                text: RecordStore.chainText
                color: RecordStore.chainBroken ? "#E53935" : "#2E7D32"
                font.bold: RecordStore.chainBroken
                ToolTip.visible: chainHover.hovered && chainStatus.truncated
                ToolTip.text: RecordStore.chainText

                HoverHandler {
                    id: chainHover
                }
            }
            Label {
                objectName: "csvCheckMessage"
                Layout.maximumWidth: root.width / 3
                elide: Text.ElideLeft
                visible: root.chainMessage.length > 0
                text: root.chainMessage
            }
            RaisedButton {
                objectName: "verifyButton"
                text: qsTr("重新检查")
                onClicked: RecordStore.verifyChain()
            }
            RaisedButton {
                objectName: "checkCsvButton"
                text: qsTr("检查 CSV…")
                enabled: !RecordStore.checkingCsv
                onClicked: csvDialog.start()
            }
            TextField {
                objectName: "stationNameField"
                Layout.preferredWidth: 120
                placeholderText: qsTr("站点名称")
                text: RecordStore.stationName
                selectByMouse: true
                ToolTip.visible: hovered && RecordStore.stationId.length > 0
                ToolTip.text: qsTr("站点 ID %1").arg(RecordStore.stationId)
                onEditingFinished: RecordStore.stationName = text.trim()
            }
            CheckBox {
                objectName: "showVoidedBox"
                text: qsTr("显示作废记录")
                checked: RecordStore.list.showVoided
                onToggled: RecordStore.list.showVoided = checked
            }
        }

        TrendChart {
            objectName: "trendChart"
            Layout.fillWidth: true
            // Room for the list first on a small screen: the chart gives up height to 100 px.
            Layout.preferredHeight: Math.max(100, Math.min(220, root.height - 480))
            windowMinutes: [1, 5, 15][windowBox.currentIndex]
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Label {
                text: qsTr("导出从")
            }
            TextField {
                id: fromField

                objectName: "fromField"
                placeholderText: qsTr("yyyy-MM-dd")
                // Room for the whole hint inside newer Material styles' wider padding.
                Layout.preferredWidth: 140
            }
            Label {
                text: qsTr("到")
            }
            TextField {
                id: toField

                objectName: "toField"
                placeholderText: qsTr("yyyy-MM-dd")
                // Room for the whole hint inside newer Material styles' wider padding.
                Layout.preferredWidth: 140
            }
            RaisedButton {
                objectName: "exportButton"
                text: qsTr("导出 CSV")
                enabled: !RecordStore.exporting
                onClicked: root.startExport()
            }
            RaisedButton {
                objectName: "exportTodayButton"
                text: qsTr("导出今日")
                enabled: !RecordStore.exporting
                onClicked: root.exportToday()
            }
            ProgressBar {
                objectName: "exportProgress"
                visible: RecordStore.exporting
                value: RecordStore.exportProgress
                Layout.preferredWidth: 120
            }
            RaisedButton {
                objectName: "exportCancelButton"
                visible: RecordStore.exporting
                text: qsTr("取消导出")
                onClicked: RecordStore.cancelExport()
            }
            Label {
                objectName: "exportMessage"
                Layout.fillWidth: true
                text: root.exportMessage
                elide: Text.ElideMiddle
            }
            RaisedButton {
                objectName: "voidAllButton"
                text: qsTr("全部作废")
                enabled: RecordStore.count > 0 && RecordStore.writable
                onClicked: voidAllDialog.ask()
            }
        }

        // The list's column headers, laid out as its rows are.
        RowLayout {
            objectName: "recordHeader"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            spacing: 10

            Label {
                text: qsTr("编号")
                color: Material.hintTextColor
                Layout.preferredWidth: 60
            }
            Label {
                text: qsTr("时间")
                color: Material.hintTextColor
                Layout.preferredWidth: 150
            }
            Label {
                text: qsTr("重量")
                color: Material.hintTextColor
                Layout.preferredWidth: 90
            }
            Label {
                text: qsTr("单位")
                color: Material.hintTextColor
                Layout.preferredWidth: 50
            }
            Label {
                text: qsTr("净/毛")
                color: Material.hintTextColor
                Layout.preferredWidth: 40
            }
            Label {
                text: qsTr("方式")
                color: Material.hintTextColor
                Layout.preferredWidth: 50
            }
            Label {
                text: qsTr("端口")
                color: Material.hintTextColor
                Layout.fillWidth: true
            }
        }

        ListView {
            objectName: "recordList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: RecordStore.list
            ScrollBar.vertical: ScrollBar {}
            delegate: Rectangle {
                id: row

                required property var record
                required property int index

                readonly property bool voided: row.record.voidedSeq !== undefined

                width: ListView.view.width
                height: 40
                color: row.voided ? "#eeeeee" : row.index % 2 === 0 ? "white" : "#f5f7fa"

                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 12
                    anchors.rightMargin: 12
                    spacing: 10
                    opacity: row.voided ? 0.6 : 1

                    Label {
                        objectName: "recordNumber"
                        text: "№" + row.record.number
                        Layout.preferredWidth: 60
                    }
                    Label {
                        text: Qt.formatDateTime(new Date(row.record.timeMs), "yyyy-MM-dd hh:mm:ss")
                        Layout.preferredWidth: 150
                    }
                    // The weight in the unit it was taken in, as the unit column says.
                    Label {
                        objectName: "recordWeight"
                        text: Number(row.record.weightKg * (row.record.unit === "斤" ? 2 : 1)).toFixed(3)
                        font.bold: true
                        Layout.preferredWidth: 90
                    }
                    Label {
                        objectName: "recordUnit"
                        text: row.record.unit === "斤" ? qsTr("斤") : qsTr("公斤")
                        Layout.preferredWidth: 50
                    }
                    Label {
                        text: row.record.mode !== "" ? row.record.mode : "—"
                        Layout.preferredWidth: 40
                    }
                    Label {
                        text: row.record.manual ? qsTr("手动") : qsTr("自动")
                        Layout.preferredWidth: 50
                    }
                    // The port by its name (or the void and its reason); the whole on hover.
                    Label {
                        objectName: "recordPort"
                        text: row.voided ? qsTr("已作废：%1").arg(row.record.voidReason)
                                         : String(row.record.port).split(/[\\/]/).pop()
                        color: row.voided ? "#E53935" : Material.foreground
                        Layout.fillWidth: true
                        elide: Text.ElideMiddle
                        ToolTip.visible: portHover.hovered && String(row.record.port) !== ""
                        ToolTip.text: row.voided ? qsTr("第 %1 条作废：%2（端口 %3）").arg(row.record.voidedSeq)
                                                   .arg(row.record.voidReason).arg(row.record.port)
                                             : row.record.port

                        HoverHandler {
                            id: portHover
                        }
                    }
                    // Within the row: a flat button's touch margins would reach into the next.
                    Button {
                        objectName: "ticketButton"
                        text: qsTr("小票")
                        flat: true
                        Layout.maximumHeight: row.height
                        onClicked: ticketDialog.askFor(row.record)
                    }
                    Button {
                        objectName: "voidButton"
                        text: qsTr("作废")
                        flat: true
                        Layout.maximumHeight: row.height
                        visible: !row.voided
                        enabled: RecordStore.writable
                        onClicked: voidDialog.askFor(row.record)
                    }
                }
            }
        }
    }

    // Where the export goes, typed or as suggested: Qt 6.4's own file dialog says "Open" when
    // it saves, takes no typed name, and its list has no background under the software renderer.
    Dialog {
        id: fileDialog

        function start() {
            pathInput.text = RecordStore.suggestedExportPath()
            fileDialog.open()
        }

        objectName: "fileDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(560, root.width - 32)
        modal: true
        title: qsTr("导出称重记录")
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: root.exportTo(Tools.getUrlByFilePath(pathInput.text.trim()))

        ColumnLayout {
            width: fileDialog.availableWidth
            spacing: 8

            Label {
                text: qsTr("保存为 (CSV 文件)")
            }
            TextField {
                id: pathInput

                objectName: "exportPathField"
                Layout.fillWidth: true
                selectByMouse: true
                onAccepted: {
                    if (pathInput.text.trim().length > 0)
                        fileDialog.accept()
                }
            }
        }

        footer: RowLayout {
            spacing: 8

            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: "exportSaveButton"
                flat: true
                highlighted: true
                text: qsTr("保存")
                enabled: pathInput.text.trim().length > 0
                onClicked: fileDialog.accept()
            }
            Button {
                flat: true
                text: qsTr("取消")
                Layout.rightMargin: 12
                onClicked: fileDialog.reject()
            }
        }
    }

    // A check of an exported file, typed or pasted: the file dialog of Qt 6.4 takes no typed path.
    Dialog {
        id: csvDialog

        function start() {
            csvPathInput.text = RecordStore.suggestedExportPath()
            csvDialog.open()
        }

        objectName: "csvDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(560, root.width - 32)
        modal: true
        title: qsTr("检查导出的 CSV 文件")
        standardButtons: Dialog.Ok | Dialog.Cancel
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: RecordStore.verifyCsv(Tools.getUrlByFilePath(csvPathInput.text.trim()))

        TextField {
            id: csvPathInput

            objectName: "checkPathField"
            width: csvDialog.availableWidth
            selectByMouse: true
        }
    }

    ReasonDialog {
        id: voidAllDialog

        objectName: "voidAllDialog"
        title: qsTr("全部作废")
        prompt: qsTr("将现有 %1 条记录全部作废。作废的记录仍保存在文件里和导出中，只是不再列出、不计入合计。").arg(RecordStore.count)
        onDone: function(reason) {
            root.exportMessage = RecordStore.voidAll(reason)
        }
    }

    // A record is voided only once the operator has said why, seeing which one it is.
    ReasonDialog {
        id: voidDialog

        property var recordId: -1

        function askFor(record) {
            voidDialog.recordId = record.id
            voidDialog.prompt = qsTr("作废记录 №%1：%2　%3 kg\n它仍保存在文件里和导出中。")
                    .arg(record.number)
                    .arg(new Date(record.timeMs).toLocaleString(Qt.locale(), "yyyy-MM-dd HH:mm:ss"))
                    .arg(Number(record.weightKg).toFixed(3))
            voidDialog.ask()
        }

        objectName: "voidDialog"
        title: qsTr("作废记录")
        onDone: function(reason) {
            root.exportMessage = RecordStore.voidRecord(voidDialog.recordId, reason)
        }
    }

    // A weighing ticket of one record: to a printer, or to a PDF file where none is.
    Dialog {
        id: ticketDialog

        property var record: ({})
        readonly property bool toPdf: printerBox.currentIndex === printerBox.count - 1
        property string message: ""

        function askFor(record) {
            ticketDialog.record = Object.assign({ stationName: RecordStore.stationName }, record)
            ticketPathInput.text = TicketWriter.suggestedPdfPath(ticketDialog.record)
            ticketDialog.message = ""
            ticketDialog.open()
        }

        function makeTicket() {
            const error = ticketDialog.toPdf ? TicketWriter.writePdf(ticketDialog.record, ticketPathInput.text.trim())
                                             : TicketWriter.print(ticketDialog.record, printerBox.currentText)
            ticketDialog.message = error.length > 0 ? error
                                                    : ticketDialog.toPdf ? qsTr("小票已保存到 %1").arg(ticketPathInput.text.trim())
                                                                         : qsTr("小票已送往打印机 %1").arg(printerBox.currentText)
        }

        objectName: "ticketDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(560, root.width - 32)
        modal: true
        title: qsTr("称重小票 №%1").arg(ticketDialog.record.number)
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1

        ColumnLayout {
            width: ticketDialog.availableWidth
            spacing: 8

            ComboBox {
                id: printerBox

                objectName: "ticketPrinterBox"
                Layout.fillWidth: true
                model: TicketWriter.targets
                popup.background: PopupFrame {}
            }
            TextField {
                id: ticketPathInput

                objectName: "ticketPathField"
                Layout.fillWidth: true
                visible: ticketDialog.toPdf
                selectByMouse: true
            }
            CheckBox {
                objectName: "autoTicketBox"
                text: qsTr("每次自动记录后也出小票（用上面选的打印机，或存 PDF 到文档文件夹）")
                checked: TicketWriter.autoPrint
                onToggled: {
                    TicketWriter.autoPrinter = ticketDialog.toPdf ? "" : printerBox.currentText
                    TicketWriter.autoPrint = checked
                }
            }
            Label {
                objectName: "ticketMessage"
                Layout.fillWidth: true
                wrapMode: Text.WrapAnywhere
                visible: text.length > 0
                text: ticketDialog.message
            }
        }

        footer: RowLayout {
            spacing: 8

            Item {
                Layout.fillWidth: true
            }
            Button {
                objectName: "ticketGoButton"
                flat: true
                highlighted: true
                text: ticketDialog.toPdf ? qsTr("保存 PDF") : qsTr("打印")
                enabled: !ticketDialog.toPdf || ticketPathInput.text.trim().length > 0
                onClicked: ticketDialog.makeTicket()
            }
            Button {
                flat: true
                text: qsTr("关闭")
                Layout.rightMargin: 12
                onClicked: ticketDialog.close()
            }
        }
    }
}
