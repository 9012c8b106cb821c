pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// Every station on the shared server at a glance, read-only: its live reading, its last
// record, today's count and total and whether its chain is whole; below, the records of all
// stations or of one, by day, and their export.
ToolPage {
    id: root

    // Raised buttons draw a plain background of their own, as on the records page: the
    // style's shader effect is left out by the software renderer.
    component RaisedButton: Button {
        id: raised

        background: Rectangle {
            implicitWidth: 64
            implicitHeight: 36
            radius: 4
            color: !raised.enabled ? "#1F000000" : raised.down ? "#BDBDBD" : "#E0E0E0"
        }
    }

    property string message: ""

    // The station chosen in the box, the days typed: the records below follow them.
    function applyFilter() {
        const why = FleetView.setFilter(stationBox.currentValue === undefined ? "" : stationBox.currentValue,
                                        fromField.text, toField.text)
        root.message = why
        return why.length === 0
    }

    function choiceIndex(choices, id) {
        for (let i = 0; i < choices.length; ++i) {
            if (choices[i].id === id)
                return i
        }
        return 0
    }

    function exportTo(path) {
        const error = FleetView.exportCsv(path)
        root.message = error.length > 0 ? error : qsTr("正在导出…")
    }

    Connections {
        target: FleetView

        function onExportFinished(path, error) {
            root.message = error.length > 0 ? error : qsTr("已导出到 %1").arg(path)
        }
    }

    objectName: "fleetPage"
    titleText: qsTr("站点")

    // Without a server there is nothing to show but where to set one.
    ColumnLayout {
        objectName: "fleetNoServer"
        anchors.centerIn: parent
        width: Math.min(520, parent.width - 32)
        visible: !FleetView.configured
        spacing: 16

        Label {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: qsTr("未设置服务器")
            font.pixelSize: 22
            font.bold: true
        }
        Label {
            objectName: "fleetNoServerHint"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: qsTr("各站点的实时重量和记录保存在共享服务器上。请在 设置 → 服务器 中填写服务器地址、数据库和用户名并启用，此页即列出所有站点。")
            color: "#607080"
        }
        RaisedButton {
            objectName: "fleetOpenSettingsButton"
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("打开设置")
            onClicked: Router.navigate("/home", { openSettings: true })
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10
        visible: FleetView.configured

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Rectangle {
                Layout.preferredWidth: 10
                Layout.preferredHeight: 10
                radius: 5
                color: FleetView.connected ? "#2E7D32" : "#E53935"
            }
            Label {
                objectName: "fleetStatus"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: FleetView.statusText
                color: FleetView.connected ? "#2E7D32" : "#E53935"
            }
            Label {
                visible: FleetView.loading
                text: qsTr("正在读取…")
                color: "#607080"
            }
        }

        GridView {
            id: stationGrid

            readonly property int columns: Math.max(1, Math.floor(stationGrid.width / 250))
            readonly property int rows: Math.ceil(stationGrid.count / stationGrid.columns)

            objectName: "stationList"
            Layout.fillWidth: true
            // Two rows of cards at most; the rest scroll, leaving the records their room.
            Layout.preferredHeight: Math.min(stationGrid.rows, root.height > 800 ? 3 : 1) * stationGrid.cellHeight
            clip: true
            cellWidth: Math.floor(stationGrid.width / stationGrid.columns)
            cellHeight: 172
            model: FleetView.stations
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            delegate: Item {
                id: card

                required property string stationId
                required property string name
                required property bool stale
                required property bool online
                required property bool overload
                required property bool stable
                required property string stateText
                required property string weightText
                required property string unitText
                required property string badgeText
                required property string lastRecordText
                required property string todayText
                required property string chainText
                required property bool chainBroken

                readonly property bool shown: card.badgeText.length > 0

                width: stationGrid.cellWidth
                height: stationGrid.cellHeight

                Rectangle {
                    objectName: "stationCard"
                    anchors.fill: parent
                    anchors.margins: 5
                    radius: 6
                    color: "white"
                    border.width: 1
                    border.color: Qt.rgba(0, 0, 0, 0.12)

                    ColumnLayout {
                        anchors.fill: parent
                        anchors.margins: 10
                        spacing: 3

                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6

                            Label {
                                objectName: "stationName"
                                Layout.fillWidth: true
                                text: card.name.length > 0 ? card.name : card.stationId
                                elide: Text.ElideRight
                                font.pixelSize: 16
                                font.bold: true
                            }
                            Label {
                                objectName: "stationState"
                                text: card.stateText
                                color: "white"
                                font.pixelSize: 12
                                leftPadding: 8
                                rightPadding: 8
                                topPadding: 2
                                bottomPadding: 2
                                background: Rectangle {
                                    radius: 9
                                    color: card.online && !card.stale ? "#2E7D32" : "#95A5A6"
                                }
                            }
                        }
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 6

                            Label {
                                objectName: "stationWeight"
                                text: card.weightText
                                font.pixelSize: 26
                                font.bold: true
                                color: card.shown ? "#4C5CC5" : "#B0BEC5"
                            }
                            Label {
                                objectName: "stationUnit"
                                text: card.shown ? card.unitText : ""
                                Layout.alignment: Qt.AlignBottom
                                Layout.bottomMargin: 4
                            }
                            Item {
                                Layout.fillWidth: true
                            }
                            Label {
                                objectName: "stationBadge"
                                text: card.badgeText
                                color: "white"
                                font.pixelSize: 12
                                leftPadding: 8
                                rightPadding: 8
                                topPadding: 2
                                bottomPadding: 2
                                background: Rectangle {
                                    radius: 9
                                    visible: card.shown
                                    color: card.overload ? "#E53935" : card.stable ? "#2ECC71" : "#F39C12"
                                }
                            }
                        }
                        Label {
                            objectName: "stationLastRecord"
                            Layout.fillWidth: true
                            text: card.lastRecordText
                            color: "#607080"
                            font.pixelSize: 12
                        }
                        Label {
                            objectName: "stationToday"
                            Layout.fillWidth: true
                            text: card.todayText
                            font.pixelSize: 12
                        }
                        Label {
                            objectName: "stationChain"
                            Layout.fillWidth: true
                            // Room for a break's two lines: a wrapped text's own height is one.
                            Layout.preferredHeight: 2 * chainMetrics.height + 2
                            verticalAlignment: Text.AlignTop
                            text: card.chainText
                            wrapMode: Text.Wrap
                            maximumLineCount: 2
                            elide: Text.ElideRight
                            font.pixelSize: 12
                            font.bold: card.chainBroken
                            color: card.chainBroken ? "#E53935" : "#2E7D32"

                            FontMetrics {
                                id: chainMetrics

                                font.pixelSize: 12
                            }
                        }
                        Item {
                            Layout.fillHeight: true
                        }
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            PlainComboBox {
                id: stationBox

                objectName: "fleetStationBox"
                Layout.preferredWidth: 150
                Layout.preferredHeight: 34
                model: FleetView.stationChoices
                textRole: "name"
                valueRole: "id"
                currentIndex: root.choiceIndex(FleetView.stationChoices, FleetView.filterStation)
                onActivated: root.applyFilter()
            }
            Label {
                text: qsTr("从")
            }
            TextField {
                id: fromField

                objectName: "fleetFromField"
                placeholderText: qsTr("yyyy-MM-dd")
                Layout.preferredWidth: 130
                selectByMouse: true
                onAccepted: root.applyFilter()
            }
            Label {
                text: qsTr("到")
            }
            TextField {
                id: toField

                objectName: "fleetToField"
                placeholderText: qsTr("yyyy-MM-dd")
                Layout.preferredWidth: 130
                selectByMouse: true
                onAccepted: root.applyFilter()
            }
            RaisedButton {
                objectName: "fleetRefreshButton"
                text: qsTr("刷新")
                onClicked: {
                    if (root.applyFilter())
                        FleetView.refresh()
                }
            }
            RaisedButton {
                objectName: "fleetExportButton"
                text: qsTr("导出 CSV…")
                enabled: FleetView.connected && !FleetView.exporting
                onClicked: {
                    if (root.applyFilter())
                        fileDialog.start()
                }
            }
            ProgressBar {
                objectName: "fleetExportProgress"
                visible: FleetView.exporting
                value: FleetView.exportDone
                Layout.preferredWidth: 80
            }
            Item {
                Layout.fillWidth: true
            }
        }

        Label {
            objectName: "fleetMessage"
            Layout.fillWidth: true
            visible: text.length > 0
            text: root.message
            wrapMode: Text.WrapAnywhere
        }

        // The list's column headers, laid out as its rows are.
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            spacing: 10

            Label {
                text: qsTr("站点")
                color: Material.hintTextColor
                Layout.fillWidth: true
                // A fixed base, so that every row shares its width out alike, whatever the name.
                Layout.preferredWidth: 120
                Layout.maximumWidth: 320
            }
            Label {
                text: qsTr("编号")
                color: Material.hintTextColor
                Layout.preferredWidth: 56
            }
            Label {
                text: qsTr("时间")
                color: Material.hintTextColor
                Layout.preferredWidth: 150
            }
            Label {
                text: qsTr("重量")
                color: Material.hintTextColor
                Layout.preferredWidth: 80
            }
            Label {
                text: qsTr("单位")
                color: Material.hintTextColor
                Layout.preferredWidth: 36
            }
            Label {
                text: qsTr("皮重(kg)")
                color: Material.hintTextColor
                Layout.preferredWidth: 64
            }
            Label {
                text: qsTr("净/毛")
                color: Material.hintTextColor
                Layout.preferredWidth: 40
            }
            Label {
                text: qsTr("方式")
                color: Material.hintTextColor
                Layout.preferredWidth: 36
            }
            Label {
                text: qsTr("状态")
                color: Material.hintTextColor
                Layout.preferredWidth: 44
            }
            Item {
                Layout.fillWidth: true
            }
        }

        ListView {
            objectName: "fleetRecordList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: FleetView.records
            ScrollBar.vertical: ScrollBar {}
            delegate: Rectangle {
                id: row

                required property int index
                required property string stationName
                required property var number
                required property string timeText
                required property string weightText
                required property string unitText
                required property var tareKg
                required property string mode
                required property bool manual
                required property bool voided

                width: ListView.view.width
                height: 36
                color: row.voided ? "#eeeeee" : row.index % 2 === 0 ? "white" : "#f5f7fa"

                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 12
                    anchors.rightMargin: 12
                    spacing: 10
                    opacity: row.voided ? 0.6 : 1

                    Label {
                        objectName: "fleetRecordStation"
                        text: row.stationName
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                        Layout.preferredWidth: 120
                        Layout.maximumWidth: 320
                    }
                    Label {
                        text: "№" + row.number
                        Layout.preferredWidth: 56
                    }
                    Label {
                        text: row.timeText
                        Layout.preferredWidth: 150
                    }
                    Label {
                        objectName: "fleetRecordWeight"
                        text: row.weightText
                        font.bold: true
                        Layout.preferredWidth: 80
                    }
                    Label {
                        text: row.unitText
                        Layout.preferredWidth: 36
                    }
                    Label {
                        text: row.tareKg === undefined || row.tareKg === null ? "" : Number(row.tareKg).toFixed(3)
                        Layout.preferredWidth: 64
                    }
                    Label {
                        text: row.mode !== "" ? row.mode : "—"
                        Layout.preferredWidth: 40
                    }
                    Label {
                        text: row.manual ? qsTr("手动") : qsTr("自动")
                        Layout.preferredWidth: 36
                    }
                    Label {
                        text: row.voided ? qsTr("作废") : ""
                        color: "#E53935"
                        Layout.preferredWidth: 44
                    }
                    Item {
                        Layout.fillWidth: true
                    }
                }
            }
        }

        Label {
            objectName: "fleetRecordCount"
            Layout.fillWidth: true
            color: "#607080"
            text: FleetView.moreCount > 0 ? qsTr("共 %1 条，只列出最新 %2 条").arg(FleetView.recordTotal).arg(FleetView.recordTotal - FleetView.moreCount)
                                          : qsTr("共 %1 条").arg(FleetView.recordTotal)
        }
    }

    // Where the export goes, typed or as suggested (as on the records page: Qt 6.4's own file
    // dialog takes no typed name when saving).
    Dialog {
        id: fileDialog

        function start() {
            pathInput.text = FleetView.suggestedExportPath()
            fileDialog.open()
        }

        objectName: "fleetFileDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: Math.min(560, root.width - 32)
        modal: true
        title: qsTr("导出站点记录")
        background: PopupFrame {}
        topInset: -1
        bottomInset: -1
        leftInset: -1
        rightInset: -1
        onAccepted: root.exportTo(pathInput.text.trim())

        ColumnLayout {
            width: fileDialog.availableWidth
            spacing: 8

            Label {
                text: qsTr("保存为 (CSV 文件)")
            }
            TextField {
                id: pathInput

                objectName: "fleetExportPathField"
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
                objectName: "fleetExportSaveButton"
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
}
