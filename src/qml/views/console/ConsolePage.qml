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
    // Sent commands, oldest first; _historyIndex is history.length while editing a new one.
    property var history: []
    property int _historyIndex: 0
    property string replyText: ""
    property int _pending: -1
    property string saveMessage: ""

    // Index into endingBox: CR, CRLF, "!", hex bytes.
    function send(text, mode) {
        const command = String(text)
        if (command.trim() === "")
            return false
        let id
        if (mode === 3)
            id = channel.request(command, "*", true)
        else
            id = channel.request(WeighProtocol.encodeCommand(command,
                                                             [WeighProtocol.LineEnding.CR,
                                                              WeighProtocol.LineEnding.CRLF,
                                                              WeighProtocol.LineEnding.BANG][mode]), "*")
        const h = root.history.filter(x => x !== command)
        h.push(command)
        root.history = h.slice(-50)
        root._historyIndex = root.history.length
        root._pending = id
        root.replyText = id >= 0 ? qsTr("等待应答…") : (root.serialPort ? root.serialPort.statusMessage : "")
        return id >= 0
    }
    function recall(step) {
        if (root.history.length === 0)
            return
        root._historyIndex = Math.max(0, Math.min(root.history.length, root._historyIndex + step))
        commandField.text = root._historyIndex < root.history.length ? root.history[root._historyIndex] : ""
    }
    function save(path) {
        log.flush()
        root.saveMessage = log.saveToFile(path) ? qsTr("已保存到 %1").arg(path)
                                                : qsTr("保存失败: %1").arg(log.lastError)
    }

    SensorChannel {
        id: channel

        serialPort: root.serialPort
        timeout: 1000
        onReplied: function(id, ok, text) {
            if (id === root._pending)
                root.replyText = qsTr("应答: %1").arg(text)
        }
        onFailed: function(id, reason) {
            if (id === root._pending)
                root.replyText = reason === "timeout" ? qsTr("无应答") : qsTr("连接已断开")
        }
    }

    TrafficLog {
        id: log

        objectName: "trafficLog"
        serialPort: root.serialPort
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        RowLayout {
            spacing: 8

            Button {
                objectName: "pauseButton"
                flat: true
                text: log.paused ? qsTr("继续") : qsTr("暂停")
                onClicked: log.paused = !log.paused
            }
            Button {
                objectName: "clearButton"
                flat: true
                text: qsTr("清空")
                onClicked: log.clear()
            }
            Button {
                objectName: "copyButton"
                flat: true
                text: qsTr("复制")
                onClicked: Tools.clipText(log.text())
            }
            Label {
                text: qsTr("显示")
                leftPadding: 12
            }
            ComboBox {
                objectName: "viewBox"
                model: [qsTr("文本"), qsTr("十六进制")]
                currentIndex: log.hexView ? 1 : 0
                onActivated: function(index) { log.hexView = index === 1 }
                Layout.preferredWidth: 120
            }
            CheckBox {
                id: hideWeightsBox

                objectName: "hideWeightsBox"
                text: qsTr("隐藏重量行")
                checked: log.hideWeights
                onToggled: log.hideWeights = hideWeightsBox.checked
            }
            Label {
                objectName: "countLabel"
                text: qsTr("%1 行 (最多 %2)").arg(log.count).arg(log.capacity)
                color: root.Material.hintTextColor
                leftPadding: 12
            }
            Item { Layout.fillWidth: true }
            TextField {
                id: pathField

                objectName: "pathField"
                Layout.preferredWidth: 320
                text: log.suggestedFilePath()
                selectByMouse: true
            }
            Button {
                objectName: "saveButton"
                flat: true
                text: qsTr("保存")
                enabled: pathField.text.length > 0
                onClicked: root.save(pathField.text)
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
                model: log
                reuseItems: true
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar {}
                // The newest line stays in sight unless paused. The view's own count changes
                // once it has taken the new rows in; the move waits until it has laid them out.
                onCountChanged: {
                    if (!log.paused) {
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
