import QtQuick
import QtTest
import Pelora
import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as WeighProtocol

// Generated receive buffers: frames of all three output formats among noise lines, some frames
// broken by a bracketed byte, some lines far longer than the scanned tail, every text also cut
// short at random points as if still arriving. Each parser must give exactly the latest frame
// of its format that has fully arrived inside the scanned tail.
TestCase {
    id: root
    name: "WeighProtocolRandom"

    readonly property int texts: 2000
    readonly property int tail: 2048

    FrameScanner {
        id: scanner
    }

    // The native scanner's answer, made into a frame as the display makes it, against the
    // script parser's; the weight is compared with Object.is too, as JSON writes -0 as 0.
    function scannedDiffers(text, tailLen, canonical) {
        const want = WeighProtocol.parseLatestWeightFromBuffer(text, tailLen)
        const got = scanner.scan(text, tailLen) ? { kind: "weight", status: scanner.status, weight: scanner.weight,
                                                    stable: scanner.stable, overload: scanner.overload, raw: scanner.raw } : null
        return canonical(got) !== canonical(want) || (want !== null && !Object.is(got.weight, want.weight))
    }

    // Seeded (mulberry32), so a failure can be replayed.
    function prng(seed) {
        let a = seed
        return () => {
            a = (a + 0x6D2B79F5) | 0
            let t = Math.imul(a ^ (a >>> 15), 1 | a)
            t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t
            return ((t ^ (t >>> 14)) >>> 0) / 4294967296
        }
    }

    // One text and the frames it holds: where each lies and the result its parser gives for it.
    function makeText(random) {
        const below = n => Math.floor(random() * n), pick = list => list[below(list.length)]
        const spaces = () => pick(["", "", " ", "  ", "\t"])
        const bracket = () => "[" + pick(["E4", "BD", "A0", "FF", "00", "1B", "7F", "0B"]) + "]"
        // Noise never holds a digit outside a bracket, so it can never read as a frame.
        const words = ["ab", "sn", "wg", "ST", "Err", "OK", "x y", " ", "\t", ",", ".", "-", "+", "=", "!?", "#;:"]
        const noise = length => Array.from({ length: Math.ceil(length / 2) }, () => random() < 0.1 ? bracket() : pick(words)).join("")
        // A weight in thousandths as text, with padding zeros and sign variants.
        const number = (milli, barePoint) => {
            const abs = Math.abs(milli), frac = String(abs % 1000).padStart(3, "0")
            const sign = milli < 0 || (milli === 0 && random() < 0.2) ? "-" : pick(["", "", "+"])
            const fraction = frac === "000" && random() < 0.5 ? (barePoint ? "." : "") : "." + frac
            return sign + "0".repeat(below(3)) + Math.floor(abs / 1000) + fraction
        }
        const weight = () => (below(2000001) - 1000000) * (random() < 0.3 ? 1000 : 1)
        const result = (text, milli, more) => Object.assign({ kind: "weight", weight: milli / 1000, overload: false, raw: text }, more)
        const formats = {
            native() {
                const status = pick("STUSOLNGab") + pick("TSLKGab"), milli = weight(), stable = below(2), overload = below(2)
                const text = status + (random() < 0.1 ? "\r\n" : spaces()) + number(milli, false) + "," + spaces() + stable + "," + spaces()
                             + overload
                return { text: text, want: result(text, milli, { status: status.toUpperCase(), stable: stable === 1, overload: overload === 1 }) }
            },
            merovant() {
                const s = pick("sw"), n = pick("ng"), grams = random() < 0.3, milli = weight()
                const text = s + n + spaces() + (grams ? String(milli) : number(milli, true)) + spaces() + (grams ? "g" : "kg")
                return { text: text, trailer: spaces(),
                         want: result(text, milli, { status: (s + n).toUpperCase(), stable: s === "s", net: n === "n", unit: "kg" }) }
            },
            ascii() {
                const milli = weight(), text = number(milli, false)
                return { lead: spaces(), text: text, trailer: spaces(), want: result(text, milli, { stable: true }) }
            }
        }
        const parts = [], frames = [], target = pick([50, 500, 2000, 3000, 8000])
        let length = 0, atLineStart = true
        const add = text => { parts.push(text); length += text.length; atLineStart = /[\r\n]$/.test(text) }
        while (length < target) {
            if (below(5) < 2) {
                add(noise(random() < 0.05 ? 2000 + below(3000) : below(40)))
                if (random() < 0.5) { add(pick(["\r\n", "\r", "\n"])); continue }
            }
            // Native frames may follow noise on its line; the other formats are lines of their own.
            const format = pick(["native", "merovant", "ascii"]), frame = formats[format]()
            if (format !== "native" && !atLineStart)
                add("\r\n")
            const lineStart = length, broken = random() < 0.15, at = 1 + below(frame.text.length - 1)
            add(frame.lead || "")
            const start = length
            add(broken ? frame.text.slice(0, at) + bracket() + frame.text.slice(at) : frame.text)
            const end = length
            add(frame.trailer || "")
            if (!broken)
                frames.push({ format: format, lineStart: lineStart, start: start, end: end, lineEnd: length, want: frame.want })
            add(pick(["\r\n", "\r\n", "\r", "\n", "\r\n\r\n"]))
        }
        return { text: parts.join(""), frames: frames }
    }

    // The result each parser must give for the first `length` characters of the text.
    function expected(sample, length, format) {
        const start = Math.max(0, length - root.tail)
        // A bare number counts once its line break is in, and only as a whole line.
        const arrived = f => f.format !== "ascii" ? f.start >= start && f.end <= length
                : f.lineStart >= start && f.lineEnd < length && (f.lineStart > start || start === 0 || /[\r\n]/.test(sample.text[start - 1]))
        const mine = sample.frames.filter(f => f.format === format && arrived(f))
        return mine.length ? mine[mine.length - 1].want : null
    }

    function test_generated_buffers() {
        const parsers = { native: WeighProtocol.parseLatestWeightFromBuffer,
                          merovant: WeighProtocol.parseLatestMerovantWeightFromBuffer,
                          ascii: WeighProtocol.parseLatestNumericWeightFromBuffer }
        // Key order is no part of a result, so results compare as sorted [key, value] lists.
        const canonical = o => JSON.stringify(o && Object.keys(o).sort().map(k => [k, o[k]]))
        const random = prng(20240611), found = { native: 0, merovant: 0, ascii: 0 }
        for (let i = 0; i < root.texts; ++i) {
            const sample = makeText(random)
            // The whole text, and four random cuts of it as if still arriving.
            const cuts = [sample.text.length].concat(Array.from({ length: 4 }, () => 1 + Math.floor(random() * sample.text.length)))
            for (const length of cuts) {
                const text = sample.text.slice(0, length)
                for (const format in parsers) {
                    const want = canonical(expected(sample, length, format)), got = canonical(parsers[format](text))
                    if (got !== want)
                        fail("text " + i + " cut at " + length + ", " + format + ": expected " + want + ", got " + got
                             + "\ntail: " + JSON.stringify(text.slice(-200)))
                    found[format] += want !== "null"
                }
                for (const tailLen of [root.tail, 64])
                    if (scannedDiffers(text, tailLen, canonical))
                        fail("text " + i + " cut at " + length + ": the scanner differs in a tail of " + tailLen)
                // The single-line parsers take any piece, whole or cut, without complaint.
                for (const piece of text.slice(-100).split(/[\r\n]+/)) {
                    const reply = WeighProtocol.parseLine(piece)
                    verify(reply === null || ["ok", "version", "sn", "echo", "weight", "text"].includes(reply.kind))
                    WeighProtocol.parseMerovantWeightLine(piece)
                }
            }
        }
        // Spaces beyond ASCII, numbers too long or too precise for the scanner's quick
        // conversion, negative zero, zeros leading a fraction.
        for (const text of ["ST\u00a01.5,\u30001,\u20000", "ST\u00851.5,1,0", "ST\u180e1.5,1,0", "ab\ufeff2,1,1",
                            "ab 1234567890123456789.5,1,0", "QQ1.00000000000000000000001,0,0", "xy-00.000,1,0", "Zz+0005.20,1,1",
                            "ST00.050,1,0"])
            verify(!scannedDiffers(text, 64, canonical), JSON.stringify(text))
        // The generator really produces frames of every format for the parsers to find.
        verify(found.native > 1000 && found.merovant > 1000 && found.ascii > 1000, JSON.stringify(found))
    }
}
