import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import Pelora
import "qml/views/components" as Components

ApplicationWindow {
    id: window

    property string _autoPortName: ""
    property int _autoBaudRate: 115200
    property bool _autoReconnectConfigured: false
    property string _autoPortIdentity: ""

    function _loadAutoConnectConfig() {
        window._autoPortName = AppSettings.portName
        window._autoReconnectConfigured = window._autoPortName.length > 0
        window._autoBaudRate = AppSettings.baudRate
        window._autoPortIdentity = AppSettings.portIdentity
    }

    function _shouldAutoReconnect() {
        return window._autoReconnectConfigured && !serialPortManager.autoReconnectSuppressed
    }

    // Deferred to the event loop: a burst of requests makes one attempt, never one inside
    // the manager's or the store's signal.
    function _scheduleAutoConnect() {
        // qmllint disable
        Qt.callLater(window._tryAutoConnect)
        // qmllint enable
    }

    function _tryAutoConnect() {
        if (!window._shouldAutoReconnect() || serialPortManager.isConnected
                || window._autoPortName.length === 0)
            return
        // The remembered adapter first, whatever name it has now; then the remembered port
        // if it is listed or names a serial device present (a typed path no enumeration
        // lists). An absent port is looked for; the list change that brings it in tries again.
        let target = window._autoPortIdentity.length > 0
                ? PortCatalog.findByIdentity(window._autoPortIdentity) : ""
        if (target === "") {
            let listed = false
            for (const name of serialPortManager.portList)
                listed = listed || name === window._autoPortName
            if (listed || PortCatalog.isSerialDevice(window._autoPortName))
                target = window._autoPortName
        }
        if (target === "") {
            serialPortManager.refreshPorts()
            return
        }
        serialPortManager.connectSerialPort(target, window._autoBaudRate, 8, 0, 1, 0)
    }

    width: 1280
    height: 720
    visible: true
    title: qsTr("Pelora")

    Material.theme: Material.Light
    Material.primary: Material.Blue
    Material.accent: Material.LightBlue

    StackView {
        id: stack

        anchors.fill: parent
    }

    SerialPortManager {
        id: serialPortManager
    }

    // The weight the sensor sends, read from the manager's chunks; the pages and the
    // recorder take it from here.
    WeightReading {
        id: weightReading

        objectName: "weightReading"
        port: serialPortManager
        format: AppSettings.outputFormat
    }

    Timer {
        id: autoReconnectTimer

        objectName: "autoReconnectTimer"

        interval: 1000
        repeat: true
        running: window._shouldAutoReconnect()
        onTriggered: window._tryAutoConnect()
    }

    Connections {
        target: serialPortManager

        function onPortListChanged() {
            window._scheduleAutoConnect()
        }
        function onConnectionChanged() {
            if (!serialPortManager.isConnected)
                window._scheduleAutoConnect()
        }
        function onAutoReconnectSuppressedChanged() {
            if (!serialPortManager.autoReconnectSuppressed)
                window._scheduleAutoConnect()
        }
    }

    Connections {
        target: SettingsStore

        function onValueChanged(key, value) {
            if (key !== "serial/portName" && key !== "serial/baudRate" && key !== "serial/portIdentity")
                return
            window._loadAutoConnectConfig()
            if (window._shouldAutoReconnect())
                window._scheduleAutoConnect()
        }
    }

    Component.onCompleted: {
        Components.Router.serialPortManager = serialPortManager
        Components.Router.weightReading = weightReading
        WeighRecorder.follow(weightReading)
        ScaleAudit.follow(serialPortManager)
        ScaleAudit.followRecorder(WeighRecorder)
        FleetLink.follow(weightReading)
        ApiServer.follow(weightReading)
        ApiServer.followRecorder(WeighRecorder)
        KeyboardWedge.follow(weightReading)
        window._loadAutoConnectConfig()
        if (window._shouldAutoReconnect()) {
            serialPortManager.refreshPorts()
            window._scheduleAutoConnect()
        }
        Components.Router.setStackView(stack)
        Components.Router.routes["/home"] = Qt.resolvedUrl("qml/views/Home.qml")
        Components.Router.routes["/sensor"] = Qt.resolvedUrl("qml/views/sensor/SensorPage.qml")
        Components.Router.routes["/console"] = Qt.resolvedUrl("qml/views/console/ConsolePage.qml")
        Components.Router.routes["/records"] = Qt.resolvedUrl("qml/views/records/RecordsPage.qml")
        Components.Router.routes["/fleet"] = Qt.resolvedUrl("qml/views/fleet/FleetPage.qml")
        Components.Router.navigate("/home")
    }

    // Every page is laid out for windows from 800 × 600 up.
    minimumWidth: 800
    minimumHeight: 600

    // F11 shows the tool full screen, for a display on the shop floor, and back.
    Shortcut {
        objectName: "fullScreenShortcut"
        sequence: "F11"
        onActivated: window.visibility = window.visibility === Window.FullScreen ? Window.Windowed
                                                                                 : Window.FullScreen
    }
}
