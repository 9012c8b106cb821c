import QtQuick
import QtTest
import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as WeighProtocol

// Generated receive buffers: frames of all three output formats among noise lines, some frames
// broken by a bracketed byte, some lines far longer than the scanned tail, every text also cut
// short at random points as if still arriving. Each parser must name exactly the latest frame
// of its format that has fully arrived inside the scanned tail.
TestCase {
    id: root
    name: "WeighProtocolRandom"

    readonly property int texts: 2000
    readonly property int tail: 2048

    // Seeded, so a failure can be replayed.
    function prng(seed) {
        let a = seed
        return function () {
            a = (a + 0x6D2B79F5) | 0
            let t = Math.imul(a ^ (a >>> 15), 1 | a)
            t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t
            return ((t ^ (t >>> 14)) >>> 0) / 4294967296
        }
    }

    function generator(random) {
        const below = n => Math.floor(random() * n)
        const pick = list => list[below(list.length)]
        const spaces = () => pick(["", "", " ", "  ", "\t"])
        const bracket = () => "[" + pick(["E4", "BD", "A0", "FF", "00", "1B", "7F", "0B"]) + "]"
        // Noise never holds a digit outside a bracket, so it can never read as a frame.
        const words = ["ab", "sn", "wg", "ST", "Err", "OK", "x y", " ", "\t", ",", ".", "-", "+", "=", "!?", "#;:"]
        const noise = length => {
            const parts = []
            for (let n = 0; n < length; n += 2)
                parts.push(random() < 0.1 ? bracket() : pick(words))
            return parts.join("")
        }
        // A weight in thousandths as text, with padding zeros and sign variants.
        const number = (milli, bare) => {
            const abs = Math.abs(milli), whole = String(Math.floor(abs / 1000)), frac = String(abs % 1000).padStart(3, "0")
            const sign = milli < 0 || (milli === 0 && random() < 0.2) ? "-" : pick(["", "", "+"])
            const body = "0".repeat(below(3)) + whole + (frac === "000" && random() < 0.5 ? (bare ? "." : "") : "." + frac)
            return sign + body
        }
        const weight = () => (below(2000001) - 1000000) * (random() < 0.3 ? 1000 : 1)
        return {
            below: below, pick: pick, noise: noise, bracket: bracket,
            native() {
                const letters = pick("STUSOLNGab".split("")) + pick("TSLKGab".split("")), milli = weight()
                const stable = below(2), overload = below(2)
                const gap = random() < 0.1 ? "\r\n" : spaces()
                const text = letters + gap + number(milli, false) + "," + spaces() + stable + "," + spaces() + overload
                return { format: "native", text: text, weight: milli / 1000, status: letters.toUpperCase(),
                         stable: stable === 1, overload: overload === 1 }
            },
            merovant() {
                const s = pick(["s", "w"]), n = pick(["n", "g"]), grams = random() < 0.3
                const milli = weight()
                const value = grams ? String(milli) : number(milli, true)
                const text = s + n + spaces() + value + spaces() + (grams ? "g" : "kg")
                return { format: "merovant", text: text, trailer: spaces(), weight: milli / 1000,
                         status: (s + n).toUpperCase(), stable: s === "s", net: n === "n" }
            },
            ascii() {
                const milli = weight()
                const text = number(milli, false)
                return { format: "ascii", lead: spaces(), text: text, trailer: spaces(), weight: milli / 1000 }
            }
        }
    }

    // One text and the frames it holds, with where each lies.
    function makeText(g, random) {
        const parts = [], frames = []
        let length = 0, atLineStart = true
        const add = text => { parts.push(text); length += text.length; atLineStart = /[\r\n]$/.test(text) }
        const target = g.pick([50, 500, 2000, 3000, 8000])
        while (length < target) {
            if (g.below(5) < 2) {
                add(g.noise(random() < 0.05 ? 2000 + g.below(3000) : g.below(40)))
                if (random() < 0.5) { add(g.pick(["\r\n", "\r", "\n"])); continue }
            }
            // Native frames may follow noise on its line; the other formats are lines of their own.
            const frame = g[g.pick(["native", "merovant", "ascii"])]()
            if (frame.format !== "native" && length > 0 && !atLineStart)
                add("\r\n")
            add(frame.lead || "")
            frame.start = length
            const broken = random() < 0.15
            const at = 1 + g.below(frame.text.length - 1)
            add(broken ? frame.text.slice(0, at) + g.bracket() + frame.text.slice(at) : frame.text)
            frame.end = length
            add(frame.trailer || "")
            frame.lineEnd = length
            add(g.pick(["\r\n", "\r\n", "\r", "\n", "\r\n\r\n"]))
            if (!broken)
                frames.push(frame)
        }
        return { text: parts.join(""), frames: frames }
    }

    // The frame each parser must report for the first `length` characters of the text.
    function expected(sample, length, format) {
        const start = Math.max(0, length - root.tail)
        let best = null
        for (const f of sample.frames) {
            if (f.format !== format)
                continue
            let arrived = f.start >= start && f.end <= length
            // A bare number counts once its line break is in, and only as a whole line.
            if (format === "ascii") {
                const lineStart = f.start - (f.lead || "").length
                arrived = lineStart >= start && f.lineEnd < length
                        && (lineStart > start || start === 0 || /[\r\n]/.test(sample.text[start - 1]))
            }
            if (arrived)
                best = f
        }
        return best
    }

    function mismatch(result, frame) {
        if (frame === null)
            return result === null ? "" : "expected null"
        if (result === null)
            return "expected weight " + frame.weight
        const keys = { native: "kind,overload,raw,stable,status,weight", merovant: "kind,net,overload,raw,stable,status,unit,weight",
                       ascii: "kind,overload,raw,stable,weight" }[frame.format]
        if (Object.keys(result).sort().join(",") !== keys || result.kind !== "weight" || result.weight !== frame.weight
                || result.stable !== (frame.format === "ascii" || frame.stable) || result.overload !== (frame.overload === true)
                || (frame.status !== undefined && result.status !== frame.status) || (frame.net !== undefined && result.net !== frame.net))
            return "expected " + JSON.stringify(frame) + ", got " + JSON.stringify(result)
        return ""
    }

    function test_generated_buffers() {
        const parsers = { native: WeighProtocol.parseLatestWeightFromBuffer,
                          merovant: WeighProtocol.parseLatestMerovantWeightFromBuffer,
                          ascii: WeighProtocol.parseLatestNumericWeightFromBuffer }
        const random = prng(20240611)
        const g = generator(random)
        let found = { native: 0, merovant: 0, ascii: 0 }
        for (let i = 0; i < root.texts; ++i) {
            const sample = makeText(g, random)
            const cuts = [sample.text.length]
            for (let c = 0; c < 4; ++c)
                cuts.push(1 + g.below(sample.text.length))
            for (const length of cuts) {
                const text = sample.text.slice(0, length)
                for (const format in parsers) {
                    const frame = expected(sample, length, format)
                    const problem = mismatch(parsers[format](text), frame)
                    if (problem !== "")
                        fail("text " + i + " cut at " + length + ", " + format + ": " + problem
                             + "\ntail: " + JSON.stringify(text.slice(-200)))
                    if (frame)
                        ++found[format]
                }
                // The single-line parsers take any piece, whole or cut, without complaint.
                for (const piece of text.slice(-100).split(/[\r\n]+/)) {
                    const reply = WeighProtocol.parseLine(piece)
                    verify(reply === null || ["ok", "version", "sn", "echo", "weight", "text"].includes(reply.kind))
                    WeighProtocol.parseMerovantWeightLine(piece)
                }
            }
        }
        // The generator really produces frames of every format for the parsers to find.
        verify(found.native > 1000 && found.merovant > 1000 && found.ascii > 1000, JSON.stringify(found))
    }
}
