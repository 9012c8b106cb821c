import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Pelora

Page {
    id: root

    property string _route: ""
    property var argument: ({})

    // Other pages ask for the settings dialog by returning here with openSettings set.
    onArgumentChanged: {
        if (root.argument && root.argument.openSettings)
            settingsDialog.open()
    }

    background: Rectangle {
        color: "#eef3f8"
    }

    SettingsDialog {
        id: settingsDialog

        objectName: "settingsDialog"
        parent: Overlay.overlay
        serialPort: Router.serialPortManager
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Header {
            objectName: "header"
            Layout.fillWidth: true
            titleText: qsTr("去皮 / 置零小工具")
            onSystemSettingsRequested: settingsDialog.open()
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: "#eef3f8"

            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 24
                spacing: 18

                WeightDisplay {
                    id: weightDisplay

                    objectName: "weightDisplay"
                    // The tare as the sensor last told it ("AT+QTAR"); none shown while unknown or zero.
                    tareKg: root._sensorTare > 0 ? root._sensorTare : NaN
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    serialPort: Router.serialPortManager
                    reading: Router.weightReading
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 16

                    Button {
                        id: recordButton

                        objectName: "recordButton"
                        text: qsTr("记录")
                        font.pixelSize: 20
                        font.bold: true
                        Layout.preferredWidth: 160
                        Layout.preferredHeight: 56
                        enabled: RecordStore.writable
                        onClicked: root.recordByHand()

                        contentItem: Label {
                            text: recordButton.text
                            font: recordButton.font
                            color: "white"
                            horizontalAlignment: Text.AlignHCenter
                            verticalAlignment: Text.AlignVCenter
                        }
                        background: Rectangle {
                            radius: 12
                            color: recordButton.down ? "#1B5E20" : recordButton.enabled ? "#2E7D32" : "#B0BEC5"
                        }
                    }
                    Button {
                        id: sendWeightButton

                        objectName: "sendWeightButton"
                        text: qsTr("发送重量")
                        font.pixelSize: 20
                        font.bold: true
                        Layout.preferredWidth: 160
                        Layout.preferredHeight: 56
                        visible: KeyboardWedge.enabled
                        // Pressed while it cannot send, it says why rather than doing nothing.
                        readonly property bool ready: KeyboardWedge.canSend
                        onClicked: root.sendWeight()

                        contentItem: Label {
                            text: sendWeightButton.text
                            font: sendWeightButton.font
                            color: "white"
                            horizontalAlignment: Text.AlignHCenter
                            verticalAlignment: Text.AlignVCenter
                        }
                        background: Rectangle {
                            radius: 12
                            color: sendWeightButton.down ? "#0D47A1" : sendWeightButton.ready ? "#1565C0" : "#B0BEC5"
                        }
                    }
                    Label {
                        id: recordMessage

                        objectName: "recordMessage"
                        Layout.fillWidth: true
                        visible: recordMessageTimer.running
                        font.pixelSize: 20
                        elide: Text.ElideRight
                    }
                }
                // While records are not being saved (the file is held, full, read-only or
                // damaged), the operator sees it here, not only on the records page.
                Label {
                    objectName: "storeWarning"
                    Layout.fillWidth: true
                    visible: text.length > 0
                    text: RecordStore.errorText
                    color: "#E53935"
                    font.pixelSize: 16
                    wrapMode: Text.Wrap
                    maximumLineCount: 2
                    elide: Text.ElideRight
                }
            }
        }

        Footer {
            objectName: "footer"
            Layout.fillWidth: true
            sensorConnected: Router.serialPortManager ? Router.serialPortManager.isConnected : false
            statusText: Router.serialPortManager ? Router.serialPortManager.statusMessage : ""
            hintText: PortCatalog.accessHint(statusText)
            serialPort: Router.serialPortManager
        }
    }

    // A record by hand of the current reading, or why there is none.
    function recordByHand() {
        if (WeighRecorder.recordNow() < 0)
            root._say(WeighRecorder.refusal.length > 0 ? WeighRecorder.refusal : RecordStore.errorText)
    }

    // The weight typed into the program that has the keyboard focus, or why not.
    function sendWeight() {
        KeyboardWedge.send()
        root._say(KeyboardWedge.lastMessage)
    }

    function _say(text) {
        recordMessage.text = text
        recordMessageTimer.restart()
    }

    Timer {
        id: recordMessageTimer

        interval: 3000
    }

    // Each record, automatic or by hand, is told for a few seconds in the display's unit.
    // A record is "已记录" once it is in the file; while the file is held or full it is said
    // to wait in memory, and said again when it is written.
    property var _waitingTicket: -1
    property string _waitingText: ""

    function _sayWaiting() {
        if (root._waitingTicket >= 0 && RecordStore.errorText.length > 0)
            root._say(qsTr("%1（暂存，等待保存）").arg(root._waitingText))
    }

    Connections {
        target: WeighRecorder

        function onRecorded(id, weightKg) {
            const shown = weightDisplay.unitIndex === 0 ? weightKg * 2.0 : weightKg
            const text = Router.weightReading ? Router.weightReading.formatWeight(shown, weightDisplay.fractionDigits)
                                              : Number(shown).toFixed(weightDisplay.fractionDigits)
            root._waitingTicket = id
            root._waitingText = qsTr("已记录 %1 %2").arg(text).arg(weightDisplay.displayUnitText)
            root._sayWaiting()
        }
    }

    Connections {
        target: RecordStore

        function onRecordSaved(ticket, id) {
            if (ticket !== root._waitingTicket)
                return
            root._waitingTicket = -1
            root._say(root._waitingText)
        }
        function onErrorTextChanged() {
            root._sayWaiting()
        }
    }

    // What the link has read of the sensor, the tare among it.
    readonly property SensorParameters _parameters: Router.serialPortManager && Router.serialPortManager.session
                                                    ? Router.serialPortManager.session.parameters : null
    readonly property var _rows: root._parameters ? root._parameters.rows : ({})
    readonly property real _sensorTare: {
        const row = root._rows["QTAR"]
        const value = row && row.value !== undefined && row.value !== "" ? Number(row.value) : NaN
        return isFinite(value) ? value : NaN
    }
    // Asks the sensor for its tare, once a connection's readings flow and after each zero or
    // tare; the link's queue sends it once the sensor has answered what went before.
    function _readTare() {
        if (root._parameters)
            root._parameters.read("QTAR", WeighProtocol.qtarQuery(WeighProtocol.LineEnding.CR))
    }

    Connections {
        target: weightDisplay

        function onLiveChanged() {
            // Once the stream runs (the display's own commands answered), the tare is asked for.
            if (weightDisplay.live && root._rows["QTAR"] === undefined)
                root._readTare()
        }
        function onZeroRequested() {
            root._readTare()
        }
        function onTareRequested() {
            root._readTare()
        }
    }

    // F2 zeroes, F3 tares and F4 records by hand (sends the weight while the keyboard wedge is
    // on), as the buttons do, anywhere in the window
    // while this page is the one shown (the stack keeps it below the others), and only when
    // the action can be done.
    readonly property bool _shown: root.StackView.status === StackView.Active
    readonly property bool _connected: !!Router.serialPortManager && Router.serialPortManager.isConnected

    Shortcut {
        objectName: "zeroShortcut"
        sequence: "F2"
        enabled: root._shown && root._connected
        onActivated: {
            weightDisplay.doZero()
            root._readTare()
        }
    }

    Shortcut {
        objectName: "tareShortcut"
        sequence: "F3"
        enabled: root._shown && root._connected
        onActivated: {
            weightDisplay.doTare()
            root._readTare()
        }
    }

    Shortcut {
        objectName: "recordShortcut"
        sequence: "F4"
        enabled: root._shown && WeighRecorder.canRecordNow && RecordStore.writable && !KeyboardWedge.enabled
        onActivated: root.recordByHand()
    }

    // While the keyboard wedge is on, F4 sends the weight instead (in any program: the wedge
    // holds the key on the desktop; this one serves where it cannot).
    Shortcut {
        objectName: "sendWeightShortcut"
        sequence: "F4"
        enabled: root._shown && KeyboardWedge.enabled
        onActivated: root.sendWeight()
    }

    // A weight typed by the F4 key in another program or after a record is told here too.
    Connections {
        target: KeyboardWedge

        function onTyped() {
            root._say(KeyboardWedge.lastMessage)
        }
    }
}
