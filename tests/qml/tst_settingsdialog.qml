import QtQuick
import QtTest
import Pelora

TestCase {
    id: testCase
    name: "SettingsDialog"
    when: windowShown
    width: 1280
    height: 720

    // Manager calls and settings writes, in the order they happened.
    property var events: []
    readonly property var keys: ["serial/portName", "serial/baudRate", "scale/outputFormatIndex", "weight/unit"]

    function record(entry) { testCase.events = testCase.events.concat([entry]) }

    QtObject {
        id: fakePort
        property var portList: []
        property bool isConnected: false
        property var dialog: null // lets a refresh note whether settings were loaded already

        function refreshPorts() { testCase.record(["refreshPorts", fakePort.dialog ? fakePort.dialog.preferredPortName : ""]) }
        function connectSerialPort(portName, baudRate, dataBits, parity, stopBits, flowControl) {
            testCase.record(["connect", portName, baudRate, dataBits, parity, stopBits, flowControl])
            return true
        }
        function disconnectSerialPort() { testCase.record(["disconnect"]) }
        function sendData(data, hexMode) { testCase.record(["send", data, hexMode]) }
    }

    Connections {
        target: SettingsStore
        function onValueChanged(key, value) { testCase.record(["store", key, value]) }
    }

    Item { id: host; width: 1280; height: 720 }

    Component { id: dialogComponent; SettingsDialog {} }

    function init() {
        for (const key of testCase.keys)
            SettingsStore.remove(key)
        host.width = 1280
        host.height = 720
        fakePort.portList = []
        fakePort.isConnected = false
        testCase.events = []
    }

    function store(values) {
        for (const key in values)
            SettingsStore.setValue(key, values[key])
        testCase.events = []
    }

    function openDialog(manager) {
        const dialog = createTemporaryObject(dialogComponent, host,
                                             { serialPort: manager === undefined ? fakePort : manager, parent: host })
        verify(dialog)
        fakePort.dialog = dialog
        dialog.open()
        tryCompare(dialog, "opened", true)
        return dialog
    }

    function control(dialog, name) {
        const found = findChild(dialog.contentItem, name)
        verify(found, name)
        return found
    }

    // Picks an entry the way an operator does: open the list, click the entry.
    function choose(combo, index) {
        mouseClick(combo)
        tryCompare(combo.popup, "opened", true)
        const entry = combo.popup.contentItem.itemAtIndex(index)
        verify(entry)
        mouseClick(entry)
        tryCompare(combo.popup, "visible", false)
        compare(combo.currentIndex, index)
    }

    function compareEvents(expected) { compare(JSON.stringify(testCase.events), JSON.stringify(expected)) }

    function test_loading_data() {
        return [
            { tag: "nothing stored", stored: {}, port: 0, baud: 4, rate: 115200, format: 0, unit: 1 },
            { tag: "texts", stored: { "serial/portName": "COM2", "serial/baudRate": "57600", "scale/outputFormatIndex": "3", "weight/unit": "0" },
              port: 1, baud: 3, rate: 57600, format: 2, unit: 0 },
            { tag: "numbers", stored: { "serial/baudRate": 9600, "scale/outputFormatIndex": 2, "weight/unit": 0 },
              port: 0, baud: 0, rate: 9600, format: 1, unit: 0 },
            { tag: "leading numbers", stored: { "serial/baudRate": " 19200 bd", "scale/outputFormatIndex": "2x" },
              port: 0, baud: 1, rate: 19200, format: 1, unit: 1 },
            { tag: "below range", stored: { "serial/baudRate": 12345, "scale/outputFormatIndex": 0, "weight/unit": -1 },
              port: 0, baud: 4, rate: 12345, format: 0, unit: 1 },
            { tag: "above range", stored: { "scale/outputFormatIndex": 4, "weight/unit": 2 },
              port: 0, baud: 4, rate: 115200, format: 0, unit: 1 },
            { tag: "not numbers", stored: { "serial/portName": "COM9", "serial/baudRate": "abc", "scale/outputFormatIndex": "x", "weight/unit": "kg" },
              port: 0, baud: 4, rate: 115200, format: 0, unit: 1 },
        ]
    }

    function test_loading(data) {
        fakePort.portList = ["COM1", "COM2"]
        store(data.stored)
        const dialog = openDialog()
        compare(control(dialog, "portCombo").currentIndex, data.port)
        compare(control(dialog, "baudCombo").currentIndex, data.baud)
        compare(dialog.preferredBaudRate, data.rate)
        compare(control(dialog, "formatCombo").currentIndex, data.format)
        compare(dialog.outputFormatValue, data.format + 1)
        compare(control(dialog, "unitCombo").currentIndex, data.unit)
        compare(dialog.weightUnitValue, data.unit)
        compare(control(dialog, "formatCombo").currentText, ["原生", "SG+ASCII", "ASCII"][data.format])
        compare(control(dialog, "unitCombo").currentText, ["斤", "公斤"][data.unit])
        // Refreshed before the settings were read, and loading stored nothing.
        compareEvents([["refreshPorts", ""]])
    }

    function test_port_pick_is_not_stored() {
        fakePort.portList = ["COM1", "COM2", "COM3"]
        store({ "serial/portName": "COM2" })
        const dialog = openDialog()
        const portCombo = control(dialog, "portCombo")
        compare(portCombo.currentIndex, 1)
        choose(portCombo, 2)
        compare(dialog.preferredPortName, "COM3")
        mouseClick(control(dialog, "closeButton"))
        tryCompare(dialog, "visible", false)
        compareEvents([["refreshPorts", ""]])

        // The stored port wins again on the next opening...
        dialog.open()
        tryCompare(dialog, "opened", true)
        compare(portCombo.currentIndex, 1)
        compare(dialog.preferredPortName, "COM2")
        // ...while with none stored a pick made without connecting stays.
        choose(portCombo, 2)
        dialog.close()
        tryCompare(dialog, "visible", false)
        SettingsStore.remove("serial/portName")
        dialog.open()
        tryCompare(dialog, "opened", true)
        compare(portCombo.currentIndex, 2)
    }

    function test_connect() {
        fakePort.portList = ["COM1", "COM2"]
        store({ "serial/baudRate": 12345 })
        const dialog = openDialog()
        choose(control(dialog, "portCombo"), 1)
        testCase.events = []
        // An unlisted stored rate is not used: the box shows (and connects with) 115200.
        mouseClick(control(dialog, "connectButton"))
        compareEvents([["store", "serial/portName", "COM2"], ["store", "serial/baudRate", 115200],
                       ["connect", "COM2", 115200, 8, 0, 1, 0]])
        compare(dialog.preferredBaudRate, 115200)

        testCase.events = []
        choose(control(dialog, "baudCombo"), 1)
        compare(dialog.preferredBaudRate, 19200)
        compareEvents([])
        mouseClick(control(dialog, "connectButton"))
        compareEvents([["store", "serial/portName", "COM2"], ["store", "serial/baudRate", 19200],
                       ["connect", "COM2", 19200, 8, 0, 1, 0]])
        compare(SettingsStore.value("serial/baudRate", 0), 19200)
    }

    function test_connect_button_without_port_or_while_connected() {
        const dialog = openDialog()
        testCase.events = []
        mouseClick(control(dialog, "connectButton"))
        compareEvents([])

        fakePort.portList = ["COM1"]
        fakePort.isConnected = true
        mouseClick(control(dialog, "connectButton"))
        compareEvents([["disconnect"]])
    }

    function test_format_and_unit_data() {
        return [
            { tag: "connected", connected: true, sent: [["send", "AT+PRINTX=3\r", false]] },
            { tag: "disconnected", connected: false, sent: [] },
        ]
    }

    function test_format_and_unit(data) {
        const dialog = openDialog()
        fakePort.isConnected = data.connected
        testCase.events = []
        choose(control(dialog, "formatCombo"), 2)
        compare(dialog.outputFormatValue, 3)
        compareEvents([["store", "scale/outputFormatIndex", 3]].concat(data.sent))

        testCase.events = []
        choose(control(dialog, "unitCombo"), 0)
        compare(dialog.weightUnitValue, 0)
        compareEvents([["store", "weight/unit", 0]])
    }

    function test_enabled_states_data() {
        return [
            { tag: "no manager", manager: null, connected: false, portControls: false, connect: false, text: "连接" },
            { tag: "connected", manager: fakePort, connected: true, portControls: false, connect: true, text: "断开连接" },
            { tag: "disconnected", manager: fakePort, connected: false, portControls: true, connect: true, text: "连接" },
        ]
    }

    function test_enabled_states(data) {
        fakePort.portList = ["COM1"]
        fakePort.isConnected = data.connected
        const dialog = openDialog(data.manager)
        for (const name of ["portCombo", "refreshButton", "baudCombo"])
            compare(control(dialog, name).enabled, data.portControls, name)
        compare(control(dialog, "connectButton").enabled, data.connect)
        compare(control(dialog, "connectButton").text, data.text)
        compare(control(dialog, "formatCombo").enabled, true)
        compare(control(dialog, "unitCombo").enabled, true)
        compare(control(dialog, "portCombo").count, data.manager ? 1 : 0)
    }

    function test_port_list_refill() {
        const dialog = openDialog()
        const portCombo = control(dialog, "portCombo")
        compare(portCombo.currentIndex, -1)
        fakePort.portList = ["COM1", "COM2"]
        compare(portCombo.currentIndex, 0)

        choose(portCombo, 1) // COM2 becomes the preferred port
        fakePort.portList = ["COM3"]
        compare(portCombo.currentText, "COM3")
        fakePort.portList = ["COM3", "COM4", "COM2"]
        compare(portCombo.currentIndex, 2)

        testCase.events = []
        mouseClick(control(dialog, "refreshButton"))
        compareEvents([["refreshPorts", "COM2"]])
    }

    function test_geometry_data() {
        return [
            { tag: "1280x720", w: 1280, h: 720, width: 980, height: 640, x: 150, y: 40 },
            { tag: "1000x600", w: 1000, h: 600, width: 940, height: 560, x: 30, y: 20 },
            { tag: "halves round up", w: 1281, h: 721, width: 980, height: 640, x: 151, y: 41 },
        ]
    }

    function test_geometry(data) {
        const dialog = openDialog()
        host.width = data.w
        host.height = data.h
        compare(dialog.width, data.width)
        compare(dialog.height, data.height)
        compare(dialog.x, data.x)
        compare(dialog.y, data.y)
        compare(dialog.padding, 20)
    }

    function test_geometry_without_parent() {
        const dialog = createTemporaryObject(dialogComponent, host, { serialPort: fakePort })
        verify(dialog)
        dialog.parent = null
        compare([dialog.width, dialog.height, dialog.x, dialog.y], [980, 640, 0, 0])
    }
}
