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

    function record(entry) { testCase.events = testCase.events.concat([entry]) }

    QtObject {
        id: fakePort
        property var portList: []
        property bool isConnected: false

        function refreshPorts() { testCase.record(["refreshPorts"]) }
        function connectSerialPort(...args) { testCase.record(["connect"].concat(args)); return true }
        function sendData(data, hexMode) { testCase.record(["send", data, hexMode]) }
    }

    Connections {
        target: SettingsStore
        function onValueChanged(key, value) { testCase.record(["store", key, value]) }
    }

    Item { id: host; width: 1280; height: 720 }

    Component { id: dialogComponent; SettingsDialog {} }

    function init() {
        for (const key of ["serial/portName", "serial/baudRate", "scale/outputFormatIndex", "weight/unit"])
            SettingsStore.remove(key)
        fakePort.portList = []
        fakePort.isConnected = false
    }

    // Stores the given settings first; only what happens from the opening on is recorded.
    function openDialog(stored) {
        for (const key in stored)
            SettingsStore.setValue(key, stored[key])
        testCase.events = []
        const dialog = createTemporaryObject(dialogComponent, host, { serialPort: fakePort, parent: host })
        dialog.open()
        tryCompare(dialog, "opened", true)
        return dialog
    }

    function control(dialog, name) { return findChild(dialog.contentItem, name) }

    function reopen(dialog) {
        mouseClick(control(dialog, "closeButton"))
        tryCompare(dialog, "visible", false)
        dialog.open()
        tryCompare(dialog, "opened", true)
    }

    // Picks an entry the way an operator does: open the list, click the entry.
    function choose(combo, index) {
        mouseClick(combo.editable ? combo.indicator : combo) // an editable box opens by its arrow
        tryCompare(combo.popup, "opened", true)
        mouseClick(combo.popup.contentItem.itemAtIndex(index))
        tryCompare(combo.popup, "visible", false)
        compare(combo.currentIndex, index)
    }

    // Compares what happened since the last check.
    function compareEvents(expected) {
        compare(JSON.stringify(testCase.events), JSON.stringify(expected))
        testCase.events = []
    }

    function test_loading_data() {
        const row = (tag, stored, port, baud, rate, format, unit) => ({ tag, stored, port, baud, rate, format, unit })
        return [
            row("nothing stored", {}, 0, 4, 115200, 0, 1),
            row("texts", { "serial/portName": "COM2", "serial/baudRate": "57600", "scale/outputFormatIndex": "3", "weight/unit": "0" }, 1, 3, 57600, 2, 0),
            row("unlisted rate, absent port", { "serial/portName": "COM9", "serial/baudRate": 12345, "scale/outputFormatIndex": 2, "weight/unit": 0 }, 0, 4, 12345, 1, 0),
        ]
    }

    function test_loading(data) {
        fakePort.portList = ["COM1", "COM2"]
        const dialog = openDialog(data.stored)
        const combos = ["portCombo", "baudCombo", "formatCombo", "unitCombo"].map(name => control(dialog, name))
        compare(combos.map(combo => combo.currentIndex), [data.port, data.baud, data.format, data.unit])
        compare([dialog.preferredBaudRate, dialog.outputFormatValue, dialog.weightUnitValue, combos[2].currentText, combos[3].currentText],
                [data.rate, data.format + 1, data.unit, ["原生", "SG+ASCII", "ASCII"][data.format], ["斤", "公斤"][data.unit]])
        // Refreshed, and loading stored nothing.
        compareEvents([["refreshPorts"]])
    }

    function test_port_list() {
        const dialog = openDialog()
        const portCombo = control(dialog, "portCombo")
        fakePort.portList = ["COM1", "COM2"]
        compare(portCombo.currentIndex, 0)

        choose(portCombo, 1) // COM2 becomes the preferred port, without being stored
        fakePort.portList = ["COM3"]
        compare(portCombo.currentText, "COM3")
        fakePort.portList = ["COM3", "COM4", "COM2"]
        compare(portCombo.currentIndex, 2)
        mouseClick(control(dialog, "refreshButton"))
        compareEvents([["refreshPorts"], ["refreshPorts"]])

        // With none stored, the next opening keeps the pick...
        reopen(dialog)
        compare(portCombo.currentIndex, 2)
        // ...while a stored port wins over it.
        SettingsStore.setValue("serial/portName", "COM4")
        reopen(dialog)
        compare([portCombo.currentIndex, dialog.preferredPortName], [1, "COM4"])
    }

    // What each operator action stores and sends, in order, and what can be changed when.
    function test_operator_actions() {
        const dialog = openDialog()
        const connectButton = control(dialog, "connectButton")
        const states = () => ["portCombo", "refreshButton", "baudCombo", "connectButton", "formatCombo", "unitCombo"]
                             .map(name => control(dialog, name).enabled).concat([connectButton.text])
        compare(states(), [true, true, true, true, true, true, "连接"])
        mouseClick(connectButton) // no port to connect to
        choose(control(dialog, "formatCombo"), 2)
        choose(control(dialog, "unitCombo"), 0)
        compareEvents([["refreshPorts"], ["store", "scale/outputFormatIndex", 3], ["store", "weight/unit", 0]])

        fakePort.portList = ["COM1", "COM2"]
        choose(control(dialog, "portCombo"), 1)
        choose(control(dialog, "baudCombo"), 1)
        mouseClick(connectButton)
        compareEvents([["store", "serial/portIdentity", ""], ["store", "serial/portName", "COM2"], ["store", "serial/baudRate", 19200], ["connect", "COM2", 19200, 8, 0, 1, 0]])
        // Connected, a format change also goes to the sensor; the unit is only stored.
        fakePort.isConnected = true
        compare(states(), [false, false, false, true, true, true, "断开连接"])
        choose(control(dialog, "formatCombo"), 2)
        choose(control(dialog, "unitCombo"), 1)
        compareEvents([["store", "scale/outputFormatIndex", 3], ["send", "AT+PRINTX=3\r", false], ["store", "weight/unit", 1]])
    }
}
