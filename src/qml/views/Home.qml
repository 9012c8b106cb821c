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
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    serialPort: Router.serialPortManager
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

    // Every reading the display takes goes to the recorder, which keeps the records and the trend.
    property string _portName: ""

    Connections {
        target: Router.serialPortManager ? Router.serialPortManager.traffic : null
        ignoreUnknownSignals: true

        function onOpened(portName) {
            root._portName = portName
            WeighRecorder.setFollowedPort(portName)
        }
    }

    // The recorder takes each of the display's frames itself (its lastFrame changes), at full
    // wire speed too, without a script handler per frame.
    Component.onCompleted: WeighRecorder.follow(weightDisplay)

    Connections {
        target: weightDisplay

        function onLiveChanged() {
            WeighRecorder.setLive(weightDisplay.live)
        }
    }

    // F2 zeroes, F3 tares and F4 records by hand, as the buttons do, anywhere in the window
    // while this page is the one shown (the stack keeps it below the others), and only when
    // the action can be done.
    readonly property bool _shown: root.StackView.status === StackView.Active
    readonly property bool _connected: !!Router.serialPortManager && Router.serialPortManager.isConnected

    Shortcut {
        objectName: "zeroShortcut"
        sequence: "F2"
        enabled: root._shown && root._connected
        onActivated: weightDisplay.doZero()
    }

    Shortcut {
        objectName: "tareShortcut"
        sequence: "F3"
        enabled: root._shown && root._connected
        onActivated: weightDisplay.doTare()
    }

    Shortcut {
        objectName: "recordShortcut"
        sequence: "F4"
        enabled: root._shown && WeighRecorder.canRecordNow && RecordStore.writable
        onActivated: WeighRecorder.recordNow()
    }
}
