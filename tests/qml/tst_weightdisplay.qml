import QtQuick
import QtTest
import Pelora

Item {
    id: root
    width: 1000
    height: 360

    // Stands in for SerialPortManager: connection state, received text, and a record of sends.
    Component {
        id: portComponent
        QtObject {
            id: port
            property bool isConnected: false
            property string receivedData: ""
            property var sent: []
            property bool sentHex: false
            signal connectionChanged()
            onIsConnectedChanged: port.connectionChanged()
            function sendData(data, hexMode) {
                port.sent = port.sent.concat([data])
                port.sentHex = port.sentHex || hexMode
            }
        }
    }

    Component {
        id: displayComponent
        WeightDisplay {
            width: 960
            height: 320
        }
    }

    TestCase {
        name: "WeightDisplay"
        when: windowShown

        readonly property string grey: "#95a5a6"
        readonly property string green: "#2ecc71"
        readonly property string orange: "#f39c12"
        readonly property string red: "#e53935"

        function init() {
            SettingsStore.remove("weight/unit")
            SettingsStore.remove("scale/outputFormatIndex")
        }

        function make(connected, received) {
            const port = createTemporaryObject(portComponent, root,
                                               { isConnected: connected, receivedData: received || "" })
            const display = createTemporaryObject(displayComponent, root, { serialPort: port })
            verify(display)
            return { port: port, display: display }
        }

        // Numbers as the system locale writes them (digits, point, minus), below a thousand.
        function num(text) {
            const locale = Qt.locale()
            const zero = locale.zeroDigit.charCodeAt(0)
            return text.replace(/[0-9]/g, digit => String.fromCharCode(zero + Number(digit)))
                       .replace(".", locale.decimalPoint).replace("-", locale.negativeSign)
        }

        function shows(display, weight, badge, colour) {
            compare(findChild(display, "weightText").text, num(weight))
            compare(findChild(display, "badgeText").text, badge)
            compare(String(display.displayBadgeColor), colour)
        }

        function test_disconnected_sends_nothing_data() {
            return [{ tag: "port closed", withPort: true }, { tag: "no port", withPort: false }]
        }
        function test_disconnected_sends_nothing(data) {
            const t = make(false, "ST005.20,1,0\r\n")
            if (!data.withPort)
                t.display.serialPort = null
            shows(t.display, "0.000", "未连接", grey)
            for (const name of ["zeroButton", "tareButton"]) {
                const button = findChild(t.display, name)
                verify(!button.enabled)
                mouseClick(button)
            }
            verify(!t.display.doZero())
            verify(!t.display.doTare())
            t.display.enableWeightStreaming()
            compare(t.port.sent, [])
        }

        function test_streaming_on_every_connection() {
            const t = make(true)
            compare(t.port.sent, ["AT+AUTO=1\r", "AT+WEI\r"])
            shows(t.display, "0.000", "等待数据", grey)
            t.port.isConnected = false
            compare(t.port.sent.length, 2)
            t.port.isConnected = true
            compare(t.port.sent, ["AT+AUTO=1\r", "AT+WEI\r", "AT+AUTO=1\r", "AT+WEI\r"])
            verify(!t.port.sentHex)
        }

        function test_readings_data() {
            const row = (tag, format, unit, text, weight, unitText, badge, colour) =>
                ({ tag, format, unit, text, weight, unitText, badge, colour })
            return [
                row("native stable", 1, 1, "ST005.20,1,0\r\n", "5.200", "公斤", "稳定", green),
                row("native in jin", "1", "0", "ST005.20,1,0\r\n", "10.400", "斤", "稳定", green),
                row("native overload", 1, 1, "ST005.20,1,1\r\n", "5.200", "公斤", "超载", red),
                row("sg unstable kg", 2, 1, "wn-001.23kg\r\n", "-1.230", "公斤", "不稳定", orange),
                row("sg stable grams", "2", 1, "sg1500g\r\n", "1.500", "公斤", "稳定", green),
                row("ascii", 3, 0, "20.000\r\n", "40.000", "斤", "稳定", green),
                row("negative zero", 1, 1, "ST-00000.000,1,0\r\n", "0.000", "公斤", "稳定", green),
                row("rounds to zero", 3, 0, "-0.0001\r\n", "0.000", "斤", "稳定", green),
            ]
        }
        function test_readings(data) {
            SettingsStore.setValue("scale/outputFormatIndex", data.format)
            SettingsStore.setValue("weight/unit", data.unit)
            const t = make(true)
            t.port.receivedData = "noise\r\n" + data.text
            shows(t.display, data.weight, data.badge, data.colour)
            compare(findChild(t.display, "unitText").text, data.unitText)
            compare(t.display.stable, data.badge === "稳定")
            compare(t.display.overload, data.badge === "超载")
        }

        // One text holding a reading of each format tells which parser was chosen.
        function test_stored_preferences_data() {
            const row = (tag, unit, format, unitText, weight) => ({ tag, unit, format, unitText, weight })
            return [
                row("unit 7", "7", 1, "公斤", "1.000"),
                row("unit text", "kg", 1, "公斤", "1.000"),
                row("unit 0 with tail", " 0 jin", 1, "斤", "2.000"),
                row("format 0", 1, 0, "公斤", "1.000"),
                row("format 4", 1, 4, "公斤", "1.000"),
                row("format text", 1, "ascii", "公斤", "1.000"),
                row("format 2.9", 1, "2.9", "公斤", "2.000"),
                row("format hex", 1, "0x3", "公斤", "3.000"),
            ]
        }
        function test_stored_preferences(data) {
            SettingsStore.setValue("weight/unit", data.unit)
            SettingsStore.setValue("scale/outputFormatIndex", data.format)
            const t = make(true, "ST001.00,1,0\r\nsn0002.00kg\r\n3.000\r\n")
            compare(findChild(t.display, "unitText").text, data.unitText)
            compare(findChild(t.display, "weightText").text, num(data.weight))
        }

        function test_buttons_send_commands() {
            const t = make(true)
            // The signals go into the same record, so their order after the sends shows too.
            t.display.zeroRequested.connect(() => t.port.sendData("zeroRequested", false))
            t.display.tareRequested.connect(() => t.port.sendData("tareRequested", false))
            mouseClick(findChild(t.display, "zeroButton"))
            t.display.lineEnding = "!"
            mouseClick(findChild(t.display, "tareButton"))
            compare(t.port.sent.slice(2), ["AT+ZERO\r", "zeroRequested", "AT+TARE!", "tareRequested"])
            verify(!t.port.sentHex)
            verify(!t.display.sendAtCommand(""))
        }

        function test_reconnect_shows_kept_frame() {
            const t = make(true, "ST005.20,1,0\r\n")
            shows(t.display, "5.200", "稳定", green)
            t.port.isConnected = false
            shows(t.display, "0.000", "未连接", grey)
            verify(!t.display.hasWeightFrame)
            t.port.isConnected = true
            shows(t.display, "5.200", "稳定", green)
        }

        function test_format_change_reparses() {
            const t = make(true, "ST005.20,0,0\r\nsn0002.00kg\r\n")
            shows(t.display, "5.200", "不稳定", orange)
            SettingsStore.setValue("scale/outputFormatIndex", 2)
            shows(t.display, "2.000", "稳定", green)
            // No ASCII line in the text: the last reading stays.
            SettingsStore.setValue("scale/outputFormatIndex", 3)
            compare(t.display.outputFormatValue, 3)
            shows(t.display, "2.000", "稳定", green)
            SettingsStore.setValue("weight/unit", 0)
            shows(t.display, "4.000", "稳定", green)
        }

        function badgePixel(display) {
            const badge = findChild(display, "badge")
            const p = badge.mapToItem(display, 3, badge.height / 2)
            return grabImage(display).pixel(Math.round(p.x), Math.round(p.y))
        }
        function test_badge_colour_rendered() {
            const t = make(true, "ST005.20,1,0\r\n")
            compare(String(badgePixel(t.display)), green)
            t.port.receivedData += "ST005.20,1,1\r\n"
            compare(String(badgePixel(t.display)), red)
        }
    }
}
