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
            // Like the manager, only what arrived in this connection makes the tail.
            property int sessionStart: 0
            signal connectionChanged()
            onIsConnectedChanged: {
                port.sessionStart = port.receivedData.length
                port.connectionChanged()
            }
            function receivedTail(n) { return port.isConnected ? port.receivedData.slice(port.sessionStart).slice(-n) : "" }
            function receivedTextEnd() { return port.receivedData.length }
            // Nothing here should go out as hex, so a hex send shows up as a mismatch.
            function sendData(data, hexMode) { port.sent = port.sent.concat([hexMode ? "hex:" + data : data]) }
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
        readonly property var streaming: ["AT+AUTO=1\r", "AT+WEI\r"]

        function init() {
            SettingsStore.remove("weight/unit")
            SettingsStore.remove("scale/outputFormatIndex")
        }

        function make(connected, received) {
            const port = createTemporaryObject(portComponent, root,
                                               { isConnected: connected, receivedData: received || "" })
            return { port: port, display: createTemporaryObject(displayComponent, root, { serialPort: port }) }
        }

        // Numbers as the system locale writes them (digits, point, minus), below a thousand.
        function num(text) {
            const locale = Qt.locale()
            const zero = locale.zeroDigit.charCodeAt(0)
            return text.replace(/[0-9]/g, digit => String.fromCharCode(zero + Number(digit)))
                       .replace(".", locale.decimalPoint).replace("-", locale.negativeSign)
        }

        // shown: the readout and its unit, e.g. "5.200 公斤". The digits are pale whenever the
        // badge is grey: what is not a current reading never looks like one; red when overloaded.
        function shows(display, shown, badge, colour) {
            const digits = findChild(display, "weightText")
            compare([digits.text + " " + findChild(display, "unitText").text, findChild(display, "badgeText").text,
                     String(display.displayBadgeColor), String(digits.color)],
                    [num(shown), badge, colour, colour === grey ? "#b0bec5" : colour === red ? red : "#4c5cc5"])
        }

        // Nothing goes out without a connection (closed port or none at all); streaming is
        // switched on at each connection; a disconnect clears the panel, and after a
        // reconnect only a frame of the new connection shows.
        function test_connection_cycle() {
            const t = make(false)
            for (const port of [t.port, null]) {
                t.display.serialPort = port
                shows(t.display, "0.000 公斤", "未连接", grey)
                for (const name of ["zeroButton", "tareButton"]) {
                    verify(!findChild(t.display, name).enabled, name)
                    mouseClick(findChild(t.display, name))
                }
                compare([t.display.doZero(), t.display.doTare()], [false, false])
                t.display.enableWeightStreaming()
            }
            t.display.serialPort = t.port
            compare(t.port.sent, [])
            t.port.isConnected = true
            compare(t.port.sent, streaming)
            shows(t.display, "0.000 公斤", "等待数据", grey)
            t.port.receivedData += "ST005.20,1,0\r\n"
            shows(t.display, "5.200 公斤", "稳定", green)
            t.port.isConnected = false
            shows(t.display, "0.000 公斤", "未连接", grey)
            t.port.isConnected = true
            shows(t.display, "0.000 公斤", "等待数据", grey)
            compare(t.port.sent, streaming.concat(streaming))
            // A frame that no newer one follows goes grey; a reply does not make it live again.
            t.display.staleTimeoutMs = 50
            t.port.receivedData += "ST006.00,1,0\r\n"
            tryCompare(t.display, "live", false)
            shows(t.display, "6.000 公斤", "等待数据", grey)
            t.port.receivedData += "OK\r\n"
            verify(!t.display.live)
            // Each frame starts the timeout afresh: grey comes a whole timeout after the last
            // frame, not after the first. Time itself is the input here.
            t.display.staleTimeoutMs = 300
            const first = Date.now()
            t.port.receivedData += "ST006.60,1,0\r\n"
            tryVerify(() => Date.now() - first >= 200)
            const last = Date.now()
            t.port.receivedData += "ST006.70,1,0\r\n"
            tryCompare(t.display, "live", false, 5000)
            verify(Date.now() - last >= 270, "grey " + (Date.now() - last) + " ms after the last frame")
        }

        // A text holding a reading of each format tells which parser the stored format chose.
        function test_readings_data() {
            const row = (tag, format, unit, text, shown, badge = "稳定", colour = green) =>
                ({ tag, format, unit, text, shown, badge, colour })
            return [
                row("waiting", 1, 1, "", "0.000 公斤", "等待数据", grey),
                row("native overload", 1, 1, "ST005.20,1,1\r\n", "5.200 公斤", "超载", red),
                row("sg unstable kg", 2, 1, "wn-001.23kg\r\n", "-1.230 公斤", "不稳定", orange),
                row("ascii in jin", 3, 0, "20.000\r\n", "40.000 斤"),
                row("rounds to zero", 3, 0, "-0.0001\r\n", "0.000 斤"),
                row("format hex", "0x3", 1, "ST001.00,1,0\r\nsn0002.00kg\r\n3.000\r\n", "3.000 公斤"),
            ]
        }
        function test_readings(data) {
            SettingsStore.setValue("scale/outputFormatIndex", data.format)
            SettingsStore.setValue("weight/unit", data.unit)
            const t = make(true, "noise\r\n" + data.text)
            shows(t.display, data.shown, data.badge, data.colour)
        }

        // "净重" with a net frame or a tare above zero; the tare once known, in the chosen unit.
        function test_net_and_tare() {
            SettingsStore.setValue("scale/outputFormatIndex", 2)
            const t = make(true, "noise\r\nsn0005.200kg\r\n")
            const net = findChild(t.display, "netLabel")
            const tare = findChild(t.display, "tareText")
            compare([net.visible, tare.visible], [true, false])
            t.port.receivedData += "sg0006.700kg\r\n"
            verify(!net.visible)
            t.display.tareKg = 1.5
            compare([net.visible, tare.visible, tare.text], [true, true, "皮重 " + num("1.500") + " 公斤"])
            SettingsStore.setValue("weight/unit", 0)
            compare(tare.text, "皮重 " + num("3.000") + " 斤")
            t.display.tareKg = 0
            compare([net.visible, tare.text], [false, "皮重 " + num("0.000") + " 斤"])
            t.display.tareKg = NaN
            t.port.receivedData += "sn0001.000kg\r\n"
            verify(net.visible && !tare.visible)
            t.port.isConnected = false // what was net is no reading any more
            verify(!net.visible)
        }

        function test_buttons_send_commands() {
            const t = make(true)
            // The signals go into the same record, so their order after the sends shows too.
            t.display.zeroRequested.connect(() => t.port.sendData("zeroRequested", false))
            t.display.tareRequested.connect(() => t.port.sendData("tareRequested", false))
            mouseClick(findChild(t.display, "zeroButton"))
            t.display.lineEnding = "!"
            mouseClick(findChild(t.display, "tareButton"))
            compare(t.port.sent, streaming.concat(["AT+ZERO\r", "zeroRequested", "AT+TARE!", "tareRequested"]))
        }

        function test_format_change_reparses() {
            const t = make(true, "ST005.20,0,0\r\nsn0002.00kg\r\n")
            shows(t.display, "5.200 公斤", "不稳定", orange)
            SettingsStore.setValue("scale/outputFormatIndex", 2)
            shows(t.display, "2.000 公斤", "稳定", green)
        }
    }
}
