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

    objectName: "recordsPage"

    property string exportMessage: ""

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
                objectName: "clearButton"
                text: qsTr("清空记录")
                enabled: RecordStore.count > 0 && RecordStore.writable
                onClicked: clearDialog.open()
            }
        }

        // The list's column headers, laid out as its rows are.
        RowLayout {
            objectName: "recordHeader"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            spacing: 16

            Label {
                text: qsTr("时间")
                color: Material.hintTextColor
                Layout.preferredWidth: 170
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
                text: qsTr("净重/毛重")
                color: Material.hintTextColor
                Layout.preferredWidth: 70
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

                width: ListView.view.width
                height: 40
                color: row.index % 2 === 0 ? "white" : "#f5f7fa"

                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 12
                    anchors.rightMargin: 12
                    spacing: 16

                    Label {
                        text: Qt.formatDateTime(new Date(row.record.timeMs), "yyyy-MM-dd hh:mm:ss")
                        Layout.preferredWidth: 170
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
                        Layout.preferredWidth: 70
                    }
                    Label {
                        text: row.record.manual ? qsTr("手动") : qsTr("自动")
                        Layout.preferredWidth: 50
                    }
                    // The port by its name; the whole path on hover.
                    Label {
                        objectName: "recordPort"
                        text: String(row.record.port).split(/[\\/]/).pop()
                        Layout.fillWidth: true
                        elide: Text.ElideMiddle
                        ToolTip.visible: portHover.hovered && String(row.record.port) !== ""
                        ToolTip.text: row.record.port

                        HoverHandler {
                            id: portHover
                        }
                    }
                    Button {
                        objectName: "deleteButton"
                        text: qsTr("删除")
                        flat: true
                        enabled: RecordStore.writable
                        onClicked: deleteDialog.ask(row.record)
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

    Dialog {
        id: clearDialog

        objectName: "clearDialog"
        anchors.centerIn: parent
        modal: true
        title: qsTr("清空记录")
        standardButtons: Dialog.Ok | Dialog.Cancel
        // The frame reaches one pixel past the button row, which would cover its edge.
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: RecordStore.clearAll()
        // A width of its own: the count in it changes while records are written.
        width: Math.min(480, root.width - 32)

        Label {
            width: clearDialog.availableWidth
            wrapMode: Text.Wrap
            text: qsTr("确定删除全部 %1 条记录吗？此操作无法撤销。").arg(RecordStore.count)
        }
    }

    // A record is deleted only once the operator has said so, seeing which one it is.
    Dialog {
        id: deleteDialog

        property var recordId: -1
        property string recordText: ""

        function ask(record) {
            deleteDialog.recordId = record.id
            deleteDialog.recordText = qsTr("%1　%2 kg").arg(new Date(record.timeMs).toLocaleString(Qt.locale(), "yyyy-MM-dd HH:mm:ss"))
                                                     .arg(Number(record.weightKg).toFixed(3))
            deleteDialog.open()
        }

        objectName: "deleteDialog"
        anchors.centerIn: parent
        modal: true
        title: qsTr("删除记录")
        standardButtons: Dialog.Ok | Dialog.Cancel
        // The frame reaches one pixel past the button row, which would cover its edge.
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: RecordStore.removeRecord(deleteDialog.recordId)

        Label {
            objectName: "deleteDialogText"
            text: qsTr("确定删除这条记录吗？此操作无法撤销。\n%1").arg(deleteDialog.recordText)
        }
    }
}
