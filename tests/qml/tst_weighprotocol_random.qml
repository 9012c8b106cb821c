import QtQuick
import QtTest
import Pelora
import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as WeighProtocol

// The buffer parsers look at a short end of the text first and widen it only while they find
// nothing there. On generated buffers (frames of every format among noise and long lines, cut
// short at random as if still arriving) each must give what a plain scan of the whole tail gives,
// and the native grammar what the script gives, for every format and for single reply lines.
TestCase {
    name: "WeighProtocolRandom"

    // Seeded (mulberry32), so that a failure can be replayed.
    function prng(seed) {
        let a = seed
        return () => {
            a = (a + 0x6D2B79F5) | 0
            let t = Math.imul(a ^ (a >>> 15), 1 | a)
            t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t
            return ((t ^ (t >>> 14)) >>> 0) / 4294967296
        }
    }

    // The plain scans of the 2048-character tail: the last native match anywhere in it, or the
    // last line piece that reads (a bare number only once its line is complete at both ends).
    function plainScan(format, text) {
        const tail = text.slice(-2048)
        if (format === "native") {
            const scan = /([A-Za-z]{2})\s*([-+]?\d+(?:\.\d+)?),\s*([01]),\s*([01])/g
            let m = null
            for (let next; (next = scan.exec(tail)) !== null;)
                m = next
            return m ? { kind: "weight", status: m[1].toUpperCase(), weight: Number(m[2]), stable: m[3] === "1",
                         overload: m[4] === "1", raw: m[0] } : null
        }
        const pieces = tail.split(/[\r\n]+/)
        const cutFirst = tail.length < text.length && !/[\r\n]/.test(text[text.length - tail.length - 1])
        for (let i = pieces.length - 1; i >= 0; --i) {
            const raw = pieces[i].trim(), frame = format === "merovant" && WeighProtocol.parseMerovantWeightLine(raw)
            if (frame)
                return frame
            if (format === "ascii" && i < pieces.length - 1 && !(i === 0 && cutFirst) && /^[-+]?\d+(?:\.\d+)?$/.test(raw))
                return { kind: "weight", weight: Number(raw), stable: true, overload: false, raw: raw }
        }
        return null
    }

    readonly property var parsers: ({ native: WeighProtocol.parseLatestWeightFromBuffer,
                                      merovant: WeighProtocol.parseLatestMerovantWeightFromBuffer,
                                      ascii: WeighProtocol.parseLatestNumericWeightFromBuffer })
    readonly property var formatIndex: ({ native: 1, merovant: 2, ascii: 3 })
    // Key order is no part of a result, so results compare as sorted [key, value] lists.
    function canonical(o) {
        return JSON.stringify(o && Object.keys(o).sort().map(k => [k, o[k]]))
    }

    // The native grammar's answer against the script's; the weight is compared with
    // Object.is too, as JSON writes -0 as 0.
    function nativeDiffers(format, text, tailLen) {
        const want = parsers[format](text, tailLen)
        const got = WeighGrammar.latestFrame(formatIndex[format], text, tailLen)
        return canonical(got) !== canonical(want) || (want !== null && !Object.is(got.weight, want.weight))
    }

    function test_generated_buffers() {
        const random = prng(20240611), pick = list => list[Math.floor(random() * list.length)]
        // Frames, their pieces, and noise that cut short can turn into a frame ("wsg5kg", "12.5").
        const tokens = ["ST005.20,1,0", "st-1.5, 0, 1", "sn0001.23kg", "wg500g", " sg .5 kg", "20.000", "-7", "wsg5kg",
                        "12.5", "ST", "sn", "kg", "g", "1", ",1,0", ".", "-", " ", "\t", "ab", "[E4]", "OK",
                        "\r\n", "\r\n", "\r", "\n", "\r\n\r\n"]
        const found = { native: 0, merovant: 0, ascii: 0 }
        for (let i = 0; i < 2000; ++i) {
            const parts = []
            for (let length = 0, target = pick([50, 300, 1000, 3000, 6000]); length < target; length += parts[parts.length - 1].length)
                parts.push(random() < 0.03 ? "x".repeat(100 + Math.floor(random() * 2500)) : pick(tokens))
            const whole = parts.join("")
            for (const cut of [whole.length, 1 + Math.floor(random() * whole.length), whole.length - Math.floor(random() * 200)]) {
                const text = whole.slice(0, Math.max(1, cut))
                for (const format in parsers) {
                    const want = canonical(plainScan(format, text)), got = canonical(parsers[format](text))
                    if (got !== want)
                        fail("text " + i + " cut at " + cut + ", " + format + ": expected " + want + ", got " + got
                             + "\ntail: " + JSON.stringify(text.slice(-300)))
                    found[format] += want !== "null"
                }
                for (const format in parsers) {
                    for (const tailLen of [2048, 64])
                        if (nativeDiffers(format, text, tailLen))
                            fail("text " + i + " cut at " + cut + ", " + format + ": the native grammar differs in a tail of "
                                 + tailLen + "\ntail: " + JSON.stringify(text.slice(-300)))
                }
            }
        }
        // Spaces beyond ASCII, numbers too long or too precise for the native grammar's quick
        // conversion, negative zero, zeros leading a fraction.
        for (const text of ["ST\u00a01.5,\u30001,\u20000", "ST\u00851.5,1,0", "ST\u180e1.5,1,0", "ab\ufeff2,1,1",
                            "ab 1234567890123456789.5,1,0", "QQ1.00000000000000000000001,0,0", "xy-00.000,1,0", "Zz+0005.20,1,1",
                            "ST00.050,1,0"])
            verify(!nativeDiffers("native", text, 64), JSON.stringify(text))
        // The texts really hold frames of every format for the parsers to find.
        verify(found.native > 500 && found.merovant > 500 && found.ascii > 500, JSON.stringify(found))
    }

    // Reply lines of every kind, whole and cut, with the odd spaces and line terminators the
    // script's patterns treat specially: the native classifier gives what parseLine gives.
    function test_generated_lines() {
        const random = prng(20261208), pick = list => list[Math.floor(random() * list.length)]
        const tokens = ["OK", "ok", "V1.2.3", "v2", "V1.", "AT+CAPA=50", "at+div = 2 ", "AT+=1", "AT+X=", "AT+KEY\u2028=1",
                        "=", "SN", "sn", "SN 0012345", "Sn\u20281", "ST005.20,1,0", "st-1.5, 0, 1", "sn0001.23kg", "wg500g",
                        " sg .5 kg", "20.000", "ERR", "ERROR 3", " ", "\t", "\u3000", "\u2028", "\u00a0", "\r", "\n",
                        "a", "Z", "5", ".", "-", "+", ",", "kg", "g", "[E4]", "\u0085", "\ufeff"]
        let kinds = {}
        for (let i = 0; i < 20000; ++i) {
            let line = ""
            for (let n = 1 + Math.floor(random() * 4); n > 0; --n)
                line += pick(tokens)
            const want = WeighProtocol.parseLine(line), got = WeighGrammar.parseLine(line)
            if (canonical(got) !== canonical(want))
                fail("line " + JSON.stringify(line) + ": expected " + canonical(want) + ", got " + canonical(got))
            kinds[want ? want.kind : "null"] = true
        }
        compare(Object.keys(kinds).sort(), ["echo", "null", "ok", "sn", "text", "version", "weight"])
    }
}
