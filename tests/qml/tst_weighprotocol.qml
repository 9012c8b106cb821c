import QtQuick
import QtTest
import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as WeighProtocol

TestCase {
    id: root
    name: "WeighProtocol"

    // [builder, value arguments, command text before the terminator]
    readonly property var builders: [
        ["at", [], "AT"], ["versionQuery", [], "AT+VERSION?"], ["zero", [], "AT+ZERO"],
        ["weightQuery", [], "AT+WEI"], ["autoSet", [true], "AT+AUTO=1"], ["autoQuery", [], "AT+AUTO?"],
        ["snQuery", [], "AT+SN"], ["opencSet", [false], "AT+OPENC=0"], ["opencQuery", [], "AT+OPENC?"],
        ["zcal", [], "AT+ZCAL"], ["wcalSet", [80000], "AT+WCAL=80000"], ["wcalQuery", [], "AT+WCAL?"],
        ["divSet", ["10"], "AT+DIV=10"], ["divQuery", [], "AT+DIV?"], ["capaSet", [200], "AT+CAPA=200"],
        ["capaQuery", [], "AT+CAPA?"], ["decSet", [3], "AT+DEC=3"], ["decQuery", [], "AT+DEC?"],
        ["tare", [], "AT+TARE"], ["qtarQuery", [], "AT+QTAR"], ["filterSet", [2], "AT+FILTER=2"],
        ["filterQuery", [], "AT+FILTER?"], ["ztrackSet", [0.5], "AT+ZTRACK=0.5"], ["ztrackQuery", [], "AT+ZTRACK?"],
        ["printxSet", [2], "AT+PRINTX=2"], ["printxQuery", [], "AT+PRINTX?"], ["samplertSet", [1], "AT+SAMPLERT=1"],
        ["samplertQuery", [], "AT+SAMPLERT?"], ["reportrtSet", [30], "AT+REPORTRT=30"], ["reportrtQuery", [], "AT+REPORTRT?"],
        ["channelSet", ["UART1"], "AT+CHANNEL=UART1"], ["channelQuery", [], "AT+CHANNEL?"],
        ["debugSet", [true], "AT+DEBUGL=1"], ["debugQuery", [], "AT+DEBUGL?"]
    ]

    function call(name, args) { return WeighProtocol[name].apply(null, args) }

    // The module's documents reach the script through the module import or by a relative path;
    // either way they must get the one shared, read-only instance this test imports.
    function test_documents_share_the_module_script_data() {
        return [{ tag: "module import", imports: "import Pelora" },
                { tag: "relative path", imports: "import \"../../../protocol/WeighProtocol.js\" as WeighProtocol" }]
    }
    function test_documents_share_the_module_script(row) {
        const probe = Qt.createQmlObject("import QtQml; " + row.imports + "; QtObject { function script() { return WeighProtocol } }",
                                         root, "qrc:/qt/qml/Pelora/src/qml/views/components/Probe.qml")
        verify(probe.script() === WeighProtocol)
        verify(Object.isFrozen(WeighProtocol.LineEnding))
        compare(WeighProtocol.LineEnding.CR + WeighProtocol.LineEnding.CRLF + WeighProtocol.LineEnding.BANG, "\r\r\n!")
        compare(root.builders.length, 34)
        probe.destroy()
    }

    function test_builders_data() {
        const endings = [["default", undefined, "\r"], ["CR", "\r", "\r"], ["CRLF", "\r\n", "\r\n"], ["BANG", "!", "!"]]
        const rows = []
        for (const b of root.builders) {
            for (const e of endings) {
                // debugSet and debugQuery take their key after the ending.
                const args = b[0].startsWith("debug") ? b[1].concat([e[1], undefined]) : b[1].concat([e[1]])
                rows.push({ tag: b[0] + " " + e[0], name: b[0], args: args, expected: b[2] + e[2] })
            }
        }
        return rows
    }
    function test_builders(row) { compare(call(row.name, row.args), row.expected) }

    function test_encoding_data() {
        return [
            { tag: "LF ending", name: "weightQuery", args: ["\n"], expected: "AT+WEI\r" },
            { tag: "key name ending", name: "weightQuery", args: ["CRLF"], expected: "AT+WEI\r" },
            { tag: "number ending", name: "_normalizeEnding", args: [1], expected: "\r" },
            { tag: "padded", name: "encodeCommand", args: ["  AT+WEI  "], expected: "AT+WEI\r" },
            { tag: "own CRLF, CR", name: "encodeCommand", args: ["AT+WEI\r\n", "\r"], expected: "AT+WEI\r" },
            { tag: "own CR, CRLF", name: "encodeCommand", args: ["AT+WEI\r", "\r\n"], expected: "AT+WEI\r\n" },
            { tag: "own bang, BANG", name: "encodeCommand", args: ["AT+WEI!", "!"], expected: "AT+WEI!" },
            { tag: "own bang, CR", name: "encodeCommand", args: ["AT+WEI!"], expected: "AT+WEI!\r" },
            { tag: "unicode spaces", name: "encodeCommand", args: ["\u00a0\ufeff\u3000AT\u2029\u2028"], expected: "AT\r" },
            { tag: "NEL is no space", name: "encodeCommand", args: ["\u0085AT"], expected: "\u0085AT\r" },
            { tag: "empty", name: "encodeCommand", args: ["", "!"], expected: "" },
            { tag: "blank", name: "encodeCommand", args: [" \r\n\t"], expected: "" },
            { tag: "absent", name: "encodeCommand", args: [], expected: "" }
        ]
    }
    function test_encoding(row) { compare(call(row.name, row.args), row.expected) }

    function test_conversions_data() {
        const rows = []
        const add = (name, prefix, values, expected) => values.forEach((v, i) => rows.push(
            { tag: name + " " + i + " " + String(v), name: name, args: [v], expected: prefix + expected[i] + "\r" }))
        add("wcalSet", "AT+WCAL=", ["80kg", "abc", "-0", "0x1A", "+0X1f", "-0x10", "0x", "1.5e", "1e3", "  42", "-3", 4.9, 5e-7,
                        true, "false", undefined, null, 1e21, "1000000000000000000000", "\u3000\u00a07", "\u0085 7"],
            ["80", "0", "0", "26", "31", "-16", "0", "1", "1", "42", "-3", "4", "5",
             "0", "0", "0", "0", "1", "1e+21", "7", "0"])
        add("ztrackSet", "AT+ZTRACK=", ["0.50", "1.5e", 2, "abc", "2.0", "1e3", "-0", "Infinity", "-Infinity", "0x10", ".5", "5.",
                          "1e-7", 5e-7, "1e21", undefined, " -.5e1x", 4.9],
            ["0.5", "1.5", "2", "0", "2", "1000", "0", "Infinity", "-Infinity", "0", "0.5", "5",
             "1e-7", "5e-7", "1e+21", "0", "-5", "4.9"])
        add("autoSet", "AT+AUTO=", [true, "false", "0", {}, false, undefined, null, 0, NaN, ""],
            ["1", "1", "1", "1", "0", "0", "0", "0", "0", "0"])
        add("channelSet", "AT+CHANNEL=", ["  UART2 ", undefined, "uart 1"], ["UART2", "", "uart 1"])
        rows.push({ tag: "debug key", name: "debugSet", args: [1, "!", " DEBUG "], expected: "AT+DEBUG=1!" })
        rows.push({ tag: "blank key", name: "debugSet", args: [1, "\r", "  "], expected: "AT+=1\r" })
        rows.push({ tag: "query key", name: "debugQuery", args: ["\r\n", "DEBUG"], expected: "AT+DEBUG?\r\n" })
        return rows
    }
    function test_conversions(row) { compare(call(row.name, row.args), row.expected) }

    function nativeFrame(status, weight, stable, overload, raw) {
        return { kind: "weight", status: status, weight: weight, stable: stable, overload: overload, raw: raw }
    }
    function merovantFrame(status, weight, raw) {
        return { kind: "weight", status: status, weight: weight, stable: status[0] === "S", overload: false,
                 net: status[1] === "N", unit: "kg", raw: raw }
    }
    function asciiFrame(weight, raw) { return { kind: "weight", weight: weight, stable: true, overload: false, raw: raw } }

    function test_parseLine_data() {
        return [
            { tag: "empty", line: "", expected: null }, { tag: "CRLF", line: "\r\n", expected: null },
            { tag: "blank", line: " \t ", expected: null }, { tag: "absent", line: undefined, expected: null },
            { tag: "OK", line: "OK\r\n", expected: { kind: "ok", raw: "OK" } },
            { tag: "ok", line: "ok", expected: { kind: "text", text: "ok", raw: "ok" } },
            { tag: "version", line: "v1.0.1", expected: { kind: "version", version: "v1.0.1", raw: "v1.0.1" } },
            { tag: "V1.", line: "V1.", expected: { kind: "text", text: "V1.", raw: "V1." } },
            { tag: "echo", line: "AT+auto = 1", expected: { kind: "echo", key: "AUTO", value: "1", raw: "AT+auto = 1" } },
            { tag: "qtar", line: "AT+QTAR=3\r", expected: { kind: "echo", key: "QTAR", value: "3", raw: "AT+QTAR=3" } },
            { tag: "bare AT", line: "AT+WEI", expected: { kind: "text", text: "AT+WEI", raw: "AT+WEI" } },
            { tag: "SN", line: "SN102145", expected: { kind: "sn", sn: "102145", raw: "SN102145" } },
            { tag: "sn spaced", line: "sn 102145", expected: { kind: "sn", sn: "102145", raw: "sn 102145" } },
            { tag: "SN alone", line: "SN", expected: { kind: "text", text: "SN", raw: "SN" } },
            { tag: "native", line: "ST005.20,1,0\r\n", expected: nativeFrame("ST", 5.2, true, false, "ST005.20,1,0") },
            { tag: "native spaced", line: "st-00000.040, 0, 1", expected: nativeFrame("ST", -0.04, false, true, "st-00000.040, 0, 1") },
            { tag: "space before comma", line: "ST 5.2 ,1,0", expected: { kind: "text", text: "ST 5.2 ,1,0", raw: "ST 5.2 ,1,0" } },
            { tag: "bare point", line: "ST5.,1,0", expected: { kind: "text", text: "ST5.,1,0", raw: "ST5.,1,0" } },
            // Order: SG+ASCII before the serial number, the serial number before native.
            { tag: "sg before sn", line: "sn0001.23kg", expected: merovantFrame("SN", 1.23, "sn0001.23kg") },
            { tag: "sn without unit", line: "sn0001.23", expected: { kind: "sn", sn: "0001.23", raw: "sn0001.23" } },
            { tag: "sn before native", line: "SN005.20,1,0", expected: { kind: "sn", sn: "005.20,1,0", raw: "SN005.20,1,0" } },
            { tag: "stray breaks", line: "A\rB\nC", expected: { kind: "text", text: "ABC", raw: "ABC" } }
        ]
    }
    function test_parseLine(row) { compare(WeighProtocol.parseLine(row.line), row.expected) }

    function test_parseMerovantWeightLine_data() {
        return [
            { tag: "grams", line: "wg500g", expected: merovantFrame("WG", 0.5, "wg500g") },
            { tag: "spaced", line: "sn .5 kg ", expected: merovantFrame("SN", 0.5, "sn .5 kg") },
            { tag: "bare point", line: "sn12.kg\r\n", expected: merovantFrame("SN", 12, "sn12.kg") },
            { tag: "negative", line: "wn-001.23kg", expected: merovantFrame("WN", -1.23, "wn-001.23kg") },
            { tag: "upper case", line: "SN1.23KG", expected: null },
            { tag: "no unit", line: "sn0001.23", expected: null },
            { tag: "empty", line: "", expected: null }
        ]
    }
    function test_parseMerovantWeightLine(row) { compare(WeighProtocol.parseMerovantWeightLine(row.line), row.expected) }

    function test_buffers_data() {
        const far = "\r\n" + "x".repeat(2048)
        return [
            { tag: "native latest", parser: "native", text: "ST001.00,1,0\r\nST002.00,0,0\r\nST00",
              expected: nativeFrame("ST", 2, false, false, "ST002.00,0,0") },
            { tag: "native mid-line", parser: "native", text: "XST005.20,1,0", expected: nativeFrame("ST", 5.2, true, false, "ST005.20,1,0") },
            { tag: "native over breaks", parser: "native", text: "ab\r\n3,1,1", expected: nativeFrame("AB", 3, true, true, "ab\r\n3,1,1") },
            { tag: "native flag missing", parser: "native", text: "ST001.00,1,0\r\nST002.00,1,", expected: nativeFrame("ST", 1, true, false, "ST001.00,1,0") },
            { tag: "native bracketed", parser: "native", text: "ST001.00,1,0\r\nST0[E4]02.00,1,0\r\n[E4][BD][A0]",
              expected: nativeFrame("ST", 1, true, false, "ST001.00,1,0") },
            { tag: "native too far", parser: "native", text: "ST001.00,1,0" + far, expected: null },
            { tag: "native short tail", parser: "native", text: "ST001.00,1,0 ", tailLen: 12, expected: null },
            { tag: "sg latest", parser: "merovant", text: "sn0001.23kg\r\nsn0001.2", expected: merovantFrame("SN", 1.23, "sn0001.23kg") },
            { tag: "sg grams", parser: "merovant", text: "sg1500g\n", expected: merovantFrame("SG", 1.5, "sg1500g") },
            { tag: "sg unterminated", parser: "merovant", text: "sn1kg\rwn2kg", expected: merovantFrame("WN", 2, "wn2kg") },
            { tag: "sg bracketed", parser: "merovant", text: "sn1kg\r\nsn[E4]2kg\r\n", expected: merovantFrame("SN", 1, "sn1kg") },
            { tag: "sg too far", parser: "merovant", text: "sn1kg" + far, expected: null },
            { tag: "ascii arriving", parser: "numeric", text: "20.000\r\n19.5", expected: asciiFrame(20, "20.000") },
            { tag: "ascii sign arriving", parser: "numeric", text: "20.000\r\n-", expected: asciiFrame(20, "20.000") },
            { tag: "ascii first digit", parser: "numeric", text: "2", expected: null },
            { tag: "ascii complete", parser: "numeric", text: "20.000\r\n19.5\r", expected: asciiFrame(19.5, "19.5") },
            { tag: "ascii text after", parser: "numeric", text: "20.000\r\nabc\r\n", expected: asciiFrame(20, "20.000") },
            { tag: "ascii grouping", parser: "numeric", text: "1,234.5\r\n", expected: null },
            { tag: "ascii bracketed", parser: "numeric", text: " +7 \r\n2[E4]0\r\n", expected: asciiFrame(7, "+7") },
            { tag: "ascii too far", parser: "numeric", text: "20.000" + far, expected: null },
            { tag: "ascii cut line", parser: "numeric", text: "1,234.5\r\n", tailLen: 7, expected: null },
            { tag: "ascii cut at break", parser: "numeric", text: "1\n234.5\r\n", tailLen: 7, expected: asciiFrame(234.5, "234.5") }
        ]
    }
    function test_buffers(row) {
        const parse = { native: WeighProtocol.parseLatestWeightFromBuffer,
                        merovant: WeighProtocol.parseLatestMerovantWeightFromBuffer,
                        numeric: WeighProtocol.parseLatestNumericWeightFromBuffer }[row.parser]
        compare(parse(row.text, row.tailLen), row.expected)
        // However it is asked, an empty text holds no frame.
        compare(parse(""), null)
        compare(parse(undefined), null)
    }
}
