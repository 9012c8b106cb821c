pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Pelora

// Every line that crosses the link, and a command line that shows the sensor's answer.
ToolPage {
    id: root

    objectName: "consolePage"
    titleText: qsTr("通信监视")

    readonly property var serialPort: Router.serialPortManager
    // The traffic, history, view and reply live with the link, not with the page.
    readonly property SensorSession session: root.serialPort ? root.serialPort.session : null
    readonly property TrafficLog log: root.session ? root.session.log : null
    readonly property var history: root.session ? root.session.history : []
    // history.length while editing a new command.
    property int _historyIndex: root.history.length
    readonly property string replyText: root.session ? root.session.consoleReply : ""
    property string saveMessage: ""

    // mode indexes endingBox: CR, CRLF, "!", hex bytes.
    function send(text, mode) {
        const command = String(text)
        if (command.trim() === "" || !root.session)
            return false
        const payload = mode === 3 ? command
                                   : WeighProtocol.encodeCommand(command,
                                                                 [WeighProtocol.LineEnding.CR,
                                                                  WeighProtocol.LineEnding.CRLF,
                                                                  WeighProtocol.LineEnding.BANG][mode])
        const sent = root.session.sendCommand(command, payload, mode === 3)
        root._historyIndex = root.history.length
        return sent
    }
    function recall(step) {
        if (root.history.length === 0)
            return
        root._historyIndex = Math.max(0, Math.min(root.history.length, root._historyIndex + step))
        commandField.text = root._historyIndex < root.history.length ? root.history[root._historyIndex] : ""
    }
    function save(path) {
        if (!root.log)
            return
        root.log.flush()
        root.saveMessage = root.log.saveToFile(path) ? qsTr("已保存到 %1").arg(path)
                                                     : qsTr("保存失败: %1").arg(root.log.lastError)
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        // One row where the window is wide enough; below that the save path goes on a row
        // of its own.
        GridLayout {
            columns: root.width >= 1100 ? 2 : 1
            columnSpacing: 8
            rowSpacing: 0

            RowLayout {
                spacing: 8

                Button {
                    objectName: "pauseButton"
                    flat: true
                    enabled: !!root.log
                    text: root.log && root.log.paused ? qsTr("继续") : qsTr("暂停")
                    onClicked: root.log.paused = !root.log.paused
                }
                Button {
                    objectName: "clearButton"
                    flat: true
                    text: qsTr("清空")
                    enabled: !!root.log
                    onClicked: root.log.clear()
                }
                Button {
                    objectName: "copyButton"
                    flat: true
                    text: qsTr("复制")
                    enabled: !!root.log
                    onClicked: Tools.clipText(root.log.text())
                }
                Label {
                    text: qsTr("显示")
                    leftPadding: 12
                }
                ComboBox {
                    objectName: "viewBox"
                    model: [qsTr("文本"), qsTr("十六进制")]
                    popup.background: PopupFrame {}
                    enabled: !!root.log
                    currentIndex: root.log && root.log.hexView ? 1 : 0
                    onActivated: function(index) { root.log.hexView = index === 1 }
                    Layout.preferredWidth: 120
                }
                CheckBox {
                    id: hideWeightsBox

                    objectName: "hideWeightsBox"
                    text: qsTr("隐藏重量行")
                    enabled: !!root.log
                    checked: !!root.log && root.log.hideWeights
                    onToggled: root.log.hideWeights = hideWeightsBox.checked
                }
                Label {
                    objectName: "countLabel"
                    text: root.log ? qsTr("%1 行 (最多 %2)").arg(root.log.count).arg(root.log.capacity) : ""
                    color: root.Material.hintTextColor
                    leftPadding: 12
                }
                Item { Layout.fillWidth: true }
            }

            RowLayout {
                spacing: 8

                TextField {
                    id: pathField

                    objectName: "pathField"
                    Layout.preferredWidth: 320
                    Layout.fillWidth: root.width < 1100
                    text: root.session ? root.session.savePath : ""
                    selectByMouse: true
                    onTextEdited: root.session.savePath = pathField.text
                }
                Button {
                    objectName: "saveButton"
                    flat: true
                    text: qsTr("保存")
                    enabled: pathField.text.length > 0
                    onClicked: root.save(pathField.text)
                }
            }
        }

        Label {
            objectName: "saveMessageLabel"
            visible: root.saveMessage !== ""
            text: root.saveMessage
            color: root.saveMessage.startsWith(qsTr("保存失败")) ? "#e74c3c" : root.Material.foreground
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: "#ffffff"
            border.width: 1
            border.color: root.Material.dividerColor
            radius: 4

            ListView {
                id: lines

                objectName: "trafficView"
                anchors.fill: parent
                anchors.margins: 6
                clip: true
                model: root.log
                reuseItems: true
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar {}
                // The newest line stays in sight unless paused. The view's own count changes
                // once it has taken the new rows in; the move waits until it has laid them out.
                onCountChanged: {
                    if (root.log && !root.log.paused) {
                        // qmllint disable
                        Qt.callLater(lines.positionViewAtEnd)
                        // qmllint enable
                    }
                }

                delegate: Text {
                    id: lineText

                    required property string time
                    required property string direction
                    required property string content
                    required property bool sent

                    width: ListView.view.width
                    font.family: "monospace"
                    font.pixelSize: 13
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    color: lineText.sent ? "#1565c0" : "#2e7d32"
                    text: lineText.time + "  " + lineText.direction + "  " + lineText.content
                }
            }
        }

        Label {
            objectName: "notConnectedLabel"
            visible: !root.connected
            text: qsTr("未连接传感器：连接后才能发送命令。")
            color: "#e74c3c"
        }

        RowLayout {
            spacing: 8

            ComboBox {
                id: endingBox

                objectName: "endingBox"
                enabled: root.connected
                model: [qsTr("CR"), qsTr("CRLF"), qsTr("!"), qsTr("十六进制")]
                popup.background: PopupFrame {}
                currentIndex: root.session ? root.session.consoleMode : 0
                onActivated: function(index) { root.session.consoleMode = index }
                Layout.preferredWidth: 130
            }
            TextField {
                id: commandField

                objectName: "commandField"
                enabled: root.connected
                Layout.fillWidth: true
                font.family: "monospace"
                placeholderText: endingBox.currentIndex === 3 ? qsTr("十六进制字节，如 41 54 0D") : qsTr("命令，如 AT+VERSION?")
                Keys.onUpPressed: root.recall(-1)
                Keys.onDownPressed: root.recall(1)
                onAccepted: {
                    if (root.send(commandField.text, endingBox.currentIndex))
                        commandField.text = ""
                }
            }
            Button {
                objectName: "sendButton"
                flat: true
                enabled: root.connected && commandField.text.trim().length > 0
                highlighted: true
                text: qsTr("发送")
                onClicked: {
                    if (root.send(commandField.text, endingBox.currentIndex))
                        commandField.text = ""
                }
            }
            Label {
                objectName: "replyLabel"
                Layout.preferredWidth: 260
                text: root.replyText
                elide: Text.ElideRight
            }
        }
    }
}
