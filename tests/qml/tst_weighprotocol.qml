import QtQuick
import QtTest
import Pelora
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

    // Every builder with every ending, then the encoder's own rules and the argument conversions.
    function test_commands_data() {
        const L = WeighProtocol.LineEnding, rows = []
        for (const b of root.builders) {
            for (const e of [["default", undefined, "\r"], ["CR", L.CR, "\r"], ["CRLF", L.CRLF, "\r\n"], ["BANG", L.BANG, "!"]]) {
                // debugSet and debugQuery take their key after the ending.
                const args = b[1].concat(b[0].startsWith("debug") ? [e[1], undefined] : [e[1]])
                rows.push({ tag: b[0] + " " + e[0], name: b[0], args: args, expected: b[2] + e[2] })
            }
        }
        for (const [name, args, expected] of [
                 ["weightQuery", ["\n"], "AT+WEI\r"], ["weightQuery", ["CRLF"], "AT+WEI\r"], ["_normalizeEnding", [1], "\r"],
                 ["encodeCommand", ["  AT+WEI  "], "AT+WEI\r"], ["encodeCommand", ["AT+WEI\r\n", "\r"], "AT+WEI\r"],
                 ["encodeCommand", ["AT+WEI\r", "\r\n"], "AT+WEI\r\n"], ["encodeCommand", ["AT+WEI!", "!"], "AT+WEI!"],
                 ["encodeCommand", ["AT+WEI!"], "AT+WEI!\r"], ["encodeCommand", ["\u00a0\ufeff\u3000AT\u2029\u2028"], "AT\r"],
                 ["encodeCommand", ["\u0085AT"], "\u0085AT\r"], ["encodeCommand", ["", "!"], ""], ["encodeCommand", [" \r\n\t"], ""],
                 ["encodeCommand", [], ""]])
            rows.push({ tag: name + " " + JSON.stringify(args), name: name, args: args, expected: expected })
        const add = (name, prefix, values, expected) => values.forEach((v, i) => rows.push(
            { tag: name + " " + i + " " + String(v).slice(0, 24), name: name, args: [v], expected: prefix + expected[i] + "\r" }))
        add("wcalSet", "AT+WCAL=", ["80kg", "abc", "-0", "0x1A", "+0X1f", "-0x10", "0x", "1.5e", "1e3", "  42", "-3", 4.9, 5e-7,
                        true, "false", undefined, null, 1e21, "1000000000000000000000", "\u3000\u00a07", "\u0085 7",
                        // Past 2^53 the nearest double, ties to even; past the largest, Infinity.
                        "0x8000000000000000", "0x20000000000003", "0x1000000000000081", "0xfffffffffffffc00",
                        "0x" + "f".repeat(256), "-0x1" + "0".repeat(256), "1".repeat(20000), "0".repeat(20000) + "7"],
            ["80", "0", "0", "26", "31", "-16", "0", "1", "1", "42", "-3", "4", "5",
             "0", "0", "0", "0", "1", "1e+21", "7", "0",
             "9223372036854776000", "9007199254740996", "1152921504606847200", "18446744073709552000",
             "Infinity", "-Infinity", "Infinity", "7"])
        add("ztrackSet", "AT+ZTRACK=", ["0.50", "1.5e", 2, "abc", "2.0", "1e3", "-0", "Infinity", "-Infinity", "0x10", ".5", "5.",
                          "1e-7", 5e-7, "1e21", undefined, " -.5e1x", 4.9],
            ["0.5", "1.5", "2", "0", "2", "1000", "0", "Infinity", "-Infinity", "0", "0.5", "5",
             "1e-7", "5e-7", "1e+21", "0", "-5", "4.9"])
        add("autoSet", "AT+AUTO=", [true, "false", "0", {}, false, undefined, null, 0, NaN, ""],
            ["1", "1", "1", "1", "0", "0", "0", "0", "0", "0"])
        add("channelSet", "AT+CHANNEL=", ["  UART2 ", undefined, "uart 1"], ["UART2", "", "uart 1"])
        rows.push({ tag: "debug key", name: "debugSet", args: [1, "!", " DEBUG "], expected: "AT+DEBUG=1!" },
                  { tag: "blank key", name: "debugSet", args: [1, "\r", "  "], expected: "AT+=1\r" },
                  { tag: "query key", name: "debugQuery", args: ["\r\n", "DEBUG"], expected: "AT+DEBUG?\r\n" })
        return rows
    }
    function test_commands(row) {
        compare(WeighProtocol[row.name].apply(null, row.args), row.expected)
        verify(Object.isFrozen(WeighProtocol.LineEnding)) // no document can change an ending for the rest
    }

    function nativeFrame(status, weight, stable, overload, raw) {
        return { kind: "weight", status: status, weight: weight, stable: stable, overload: overload, raw: raw }
    }
    function merovantFrame(status, weight, raw) {
        return { kind: "weight", status: status, weight: weight, stable: status[0] === "S", overload: false,
                 net: status[1] === "N", unit: "kg", raw: raw }
    }
    function asciiFrame(weight, raw) { return { kind: "weight", weight: weight, stable: true, overload: false, raw: raw } }
    function textReply(text) { return { kind: "text", text: text, raw: text } }

    function test_parsers_data() {
        const far = "\r\n" + "x".repeat(2048)
        // [parser, tag, text, expected, tail length]
        return [
            ["line", "CRLF", "\r\n", null], ["line", "blank", " \t ", null], ["line", "OK", "OK\r\n", { kind: "ok", raw: "OK" }],
            ["line", "ok", "ok", textReply("ok")], ["line", "V1.", "V1.", textReply("V1.")],
            ["line", "version", "v1.0.1", { kind: "version", version: "v1.0.1", raw: "v1.0.1" }],
            ["line", "echo", "AT+auto = 1", { kind: "echo", key: "AUTO", value: "1", raw: "AT+auto = 1" }],
            ["line", "qtar", "AT+QTAR=3\r", { kind: "echo", key: "QTAR", value: "3", raw: "AT+QTAR=3" }],
            ["line", "bare AT", "AT+WEI", textReply("AT+WEI")], ["line", "SN alone", "SN", textReply("SN")],
            ["line", "SN", "SN102145", { kind: "sn", sn: "102145", raw: "SN102145" }],
            ["line", "sn spaced", "sn 102145", { kind: "sn", sn: "102145", raw: "sn 102145" }],
            ["line", "native", "ST005.20,1,0\r\n", nativeFrame("ST", 5.2, true, false, "ST005.20,1,0")],
            ["line", "native spaced", "st-00000.040, 0, 1", nativeFrame("ST", -0.04, false, true, "st-00000.040, 0, 1")],
            ["line", "space before comma", "ST 5.2 ,1,0", textReply("ST 5.2 ,1,0")], ["line", "bare point", "ST5.,1,0", textReply("ST5.,1,0")],
            // Order: SG+ASCII before the serial number, the serial number before native.
            ["line", "sg before sn", "sn0001.23kg", merovantFrame("SN", 1.23, "sn0001.23kg")],
            ["line", "sn without unit", "sn0001.23", { kind: "sn", sn: "0001.23", raw: "sn0001.23" }],
            ["line", "sn before native", "SN005.20,1,0", { kind: "sn", sn: "005.20,1,0", raw: "SN005.20,1,0" }],
            ["line", "stray breaks", "A\rB\nC", textReply("ABC")],
            ["merovantLine", "grams", "wg500g", merovantFrame("WG", 0.5, "wg500g")],
            ["merovantLine", "spaced", "sn .5 kg ", merovantFrame("SN", 0.5, "sn .5 kg")],
            ["merovantLine", "bare point", "sn12.kg\r\n", merovantFrame("SN", 12, "sn12.kg")],
            ["merovantLine", "negative", "wn-001.23kg", merovantFrame("WN", -1.23, "wn-001.23kg")],
            ["merovantLine", "upper case", "SN1.23KG", null], ["merovantLine", "no unit", "sn0001.23", null],
            ["native", "latest", "ST001.00,1,0\r\nST002.00,0,0\r\nST00", nativeFrame("ST", 2, false, false, "ST002.00,0,0")],
            ["native", "mid-line", "XST005.20,1,0", nativeFrame("ST", 5.2, true, false, "ST005.20,1,0")],
            ["native", "over breaks", "ab\r\n3,1,1", nativeFrame("AB", 3, true, true, "ab\r\n3,1,1")],
            ["native", "flag missing", "ST001.00,1,0\r\nST002.00,1,", nativeFrame("ST", 1, true, false, "ST001.00,1,0")],
            ["native", "bracketed", "ST001.00,1,0\r\nST0[E4]02.00,1,0\r\n[E4][BD][A0]", nativeFrame("ST", 1, true, false, "ST001.00,1,0")],
            ["native", "too far", "ST001.00,1,0" + far, null], ["native", "short tail", "ST001.00,1,0 ", null, 12],
            ["merovant", "latest", "sn0001.23kg\r\nsn0001.2", merovantFrame("SN", 1.23, "sn0001.23kg")],
            ["merovant", "grams", "sg1500g\n", merovantFrame("SG", 1.5, "sg1500g")],
            ["merovant", "unterminated", "sn1kg\rwn2kg", merovantFrame("WN", 2, "wn2kg")],
            ["merovant", "bracketed", "sn1kg\r\nsn[E4]2kg\r\n", merovantFrame("SN", 1, "sn1kg")], ["merovant", "too far", "sn1kg" + far, null],
            // A bare number counts only once its line break is in, and only as a whole line: a tail
            // that starts inside a line skips that cut-off piece.
            ["ascii", "arriving", "20.000\r\n19.5", asciiFrame(20, "20.000")], ["ascii", "first digit", "2", null],
            ["ascii", "complete", "20.000\r\n19.5\r", asciiFrame(19.5, "19.5")],
            ["ascii", "text after", "20.000\r\nabc\r\n", asciiFrame(20, "20.000")],
            ["ascii", "grouping", "1,234.5\r\n", null], ["ascii", "bracketed", " +7 \r\n2[E4]0\r\n", asciiFrame(7, "+7")],
            ["ascii", "too far", "20.000" + far, null], ["ascii", "cut line", "1,234.5\r\n", null, 7],
            ["ascii", "cut at break", "1\n234.5\r\n", asciiFrame(234.5, "234.5"), 7]
        ].map(r => ({ tag: r[0] + " " + r[1], parser: r[0], text: r[2], expected: r[3], tailLen: r[4] }))
    }
    function test_parsers(row) {
        const parse = { line: WeighProtocol.parseLine, merovantLine: WeighProtocol.parseMerovantWeightLine,
                        native: WeighProtocol.parseLatestWeightFromBuffer, merovant: WeighProtocol.parseLatestMerovantWeightFromBuffer,
                        ascii: WeighProtocol.parseLatestNumericWeightFromBuffer }[row.parser]
        compare(parse(row.text, row.tailLen), row.expected)
        // The native grammar gives the same answers.
        const format = { native: 1, merovant: 2, ascii: 3 }[row.parser]
        if (format)
            compare(WeighGrammar.latestFrame(format, row.text, row.tailLen || 0), row.expected)
        else if (row.parser === "line")
            compare(WeighGrammar.parseLine(row.text), row.expected)
        // A tail length that cannot be read as a number counts as absent.
        for (const odd of [Symbol("n"), Object.create(null), { valueOf() { throw new Error("no") } }])
            compare(parse(row.text, odd), row.tailLen === undefined ? row.expected : parse(row.text))
        // However it is asked, an empty or absent text holds nothing.
        compare(parse(""), null)
        compare(parse(undefined), null)
    }
}
