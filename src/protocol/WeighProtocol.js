.pragma library

// The weighing sensor's AT command protocol: command builders and reply parsers.
// Every function is pure; nothing here keeps state between calls, and nothing throws.

var LineEnding = Object.freeze({
    CR: "\r",
    CRLF: "\r\n",
    BANG: "!"
});

// The buffer parsers look at this many characters at the end of the received text, so a
// parse costs the same however much the serial link has accumulated.
var _defaultTailLength = 2048;
// Frames are short and the latest one is near the end, so the buffer parsers look at this
// many characters first and widen the view only when they find nothing there.
var _firstWindow = 128;

// Spelled out rather than relying on the engine's trim()/parseInt(), whose white-space set
// may include U+0085 or U+180E: ECMAScript white space and line terminators, exactly.
var _spaceClass = "[\\t\\n\\v\\f\\r \\u00a0\\u1680\\u2000-\\u200a\\u2028\\u2029\\u202f\\u205f\\u3000\\ufeff]";
var _leadingSpace = new RegExp("^" + _spaceClass + "+");
var _trailingSpace = new RegExp(_spaceClass + "+$");
var _spaceChar = new RegExp("^" + _spaceClass + "$");

var _intSignAndRadix = /^([-+]?)(0[xX])?/;
var _decimalDigits = /^[0-9]+/;
var _hexDigits = /^[0-9a-fA-F]+/;
var _leadingZeros = /^0+/;
var _decimalPrefix = /^[-+]?(?:Infinity|(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)/;

var _versionPattern = /^V\d+(?:\.\d+)*$/i;
var _echoPattern = /^AT\+([A-Z]+)\s*=\s*(.+)$/i;
var _snPattern = /^SN\s*(.+)$/i;
var _nativeLinePattern = /^([A-Za-z]{2})\s*([-+]?\d+(?:\.\d+)?),\s*([01]),\s*([01])\s*$/;
var _merovantLinePattern = /^([sw])([ng])\s*([-+]?(?:\d+(?:\.\d*)?|\.\d+))\s*(kg|g)\s*$/;
var _lineBreak = /[\r\n]+/;
var _plainNumber = /^[-+]?\d+(?:\.\d+)?$/;

// ---------------------------------------------------------------------------------------
// Value conversions

// Any value as text the way String() writes it; a value that refuses (an object whose
// toString throws) reads as "".
function _toText(value) {
    if (typeof value === "string")
        return value;
    try {
        return String(value);
    } catch (e) {
        return "";
    }
}

function _trim(text) {
    // Most texts have nothing to trim; two one-character tests spare the two replacements.
    if (text === "" || !(_spaceChar.test(text.charAt(0)) || _spaceChar.test(text.charAt(text.length - 1))))
        return text;
    return text.replace(_leadingSpace, "").replace(_trailingSpace, "");
}

// Absent, null and "" are all "nothing"; anything else is trimmed text.
function _argumentText(value) {
    if (value === undefined || value === null)
        return "";
    return _trim(_toText(value));
}

function _truthDigit(value) {
    return value ? "1" : "0";
}

// Integer as parseInt reads it (decimal, or hex after 0x), 0 when there is no digit. The
// digits are converted here, not by Number() or parseInt(): the engine's own conversions
// give NaN for long digit runs and round large hexadecimal values wrongly.
function _integerText(value) {
    var text = _toText(value).replace(_leadingSpace, "");
    var head = _intSignAndRadix.exec(text);
    var rest = text.slice(head[0].length);
    var hex = head[2] !== undefined && head[2] !== "";
    var digits = (hex ? _hexDigits : _decimalDigits).exec(rest);
    if (!digits)
        return "0";
    var number = hex ? _hexValue(digits[0]) : _decimalValue(digits[0]);
    // String() already prints negative zero as "0".
    return String(head[1] === "-" ? -number : number);
}

// The nearest double to a run of decimal digits; Infinity past the largest double.
function _decimalValue(digits) {
    var significant = digits.replace(_leadingZeros, "");
    if (significant === "")
        return 0;
    // 310 digits already exceed the largest double, about 1.8e308.
    return significant.length > 400 ? Infinity : Number(significant);
}

// The nearest double to a run of hexadecimal digits (ties to even); Infinity past the
// largest double.
function _hexValue(digits) {
    var significant = digits.replace(_leadingZeros, "");
    if (significant === "")
        return 0;
    if (significant.length > 257)
        return Infinity;
    var bits = "";
    for (var i = 0; i < significant.length; ++i)
        bits += (16 + parseInt(significant.charAt(i), 16)).toString(2).slice(1);
    bits = bits.replace(_leadingZeros, "");
    var mantissa = 0;
    var kept = Math.min(bits.length, 53);
    for (var j = 0; j < kept; ++j)
        mantissa = mantissa * 2 + (bits.charAt(j) === "1" ? 1 : 0);
    if (bits.length <= 53)
        return mantissa;
    // Round half to even on the first dropped bit and whether anything follows it.
    var roundBit = bits.charAt(53) === "1";
    var sticky = bits.indexOf("1", 54) !== -1;
    if (roundBit && (sticky || mantissa % 2 === 1))
        mantissa += 1;
    // A power of two is exact; the product overflows to Infinity on its own.
    return mantissa * Math.pow(2, bits.length - 53);
}

// Decimal number as parseFloat reads it, 0 when the text does not start with one.
function _decimalText(value) {
    var text = _toText(value).replace(_leadingSpace, "");
    var match = _decimalPrefix.exec(text);
    if (!match)
        return "0";
    var number = Number(match[0]);
    return isNaN(number) ? "0" : String(number);
}

// ---------------------------------------------------------------------------------------
// Command encoding

function _normalizeEnding(ending) {
    if (ending === "!")
        return "!";
    if (ending === "\r\n")
        return "\r\n";
    return "\r";
}

function encodeCommand(command, ending) {
    var terminator = _normalizeEnding(ending);
    var text = _argumentText(command);
    if (text === "")
        return "";
    if (terminator === "!" && text.charAt(text.length - 1) === "!")
        return text;
    return text + terminator;
}

function at(ending) { return encodeCommand("AT", ending); }
function versionQuery(ending) { return encodeCommand("AT+VERSION?", ending); }
function zero(ending) { return encodeCommand("AT+ZERO", ending); }
function weightQuery(ending) { return encodeCommand("AT+WEI", ending); }
function autoSet(enabled, ending) { return encodeCommand("AT+AUTO=" + _truthDigit(enabled), ending); }
function autoQuery(ending) { return encodeCommand("AT+AUTO?", ending); }
function snQuery(ending) { return encodeCommand("AT+SN", ending); }
function opencSet(enabled, ending) { return encodeCommand("AT+OPENC=" + _truthDigit(enabled), ending); }
function opencQuery(ending) { return encodeCommand("AT+OPENC?", ending); }
function zcal(ending) { return encodeCommand("AT+ZCAL", ending); }
function wcalSet(weightValue, ending) { return encodeCommand("AT+WCAL=" + _integerText(weightValue), ending); }
function wcalQuery(ending) { return encodeCommand("AT+WCAL?", ending); }
function divSet(stepGram, ending) { return encodeCommand("AT+DIV=" + _integerText(stepGram), ending); }
function divQuery(ending) { return encodeCommand("AT+DIV?", ending); }
function capaSet(maxKg, ending) { return encodeCommand("AT+CAPA=" + _integerText(maxKg), ending); }
function capaQuery(ending) { return encodeCommand("AT+CAPA?", ending); }
function decSet(decimalDigits, ending) { return encodeCommand("AT+DEC=" + _integerText(decimalDigits), ending); }
function decQuery(ending) { return encodeCommand("AT+DEC?", ending); }
function tare(ending) { return encodeCommand("AT+TARE", ending); }
function qtarQuery(ending) { return encodeCommand("AT+QTAR", ending); }
function filterSet(level, ending) { return encodeCommand("AT+FILTER=" + _integerText(level), ending); }
function filterQuery(ending) { return encodeCommand("AT+FILTER?", ending); }
function ztrackSet(range, ending) { return encodeCommand("AT+ZTRACK=" + _decimalText(range), ending); }
function ztrackQuery(ending) { return encodeCommand("AT+ZTRACK?", ending); }
function printxSet(format, ending) { return encodeCommand("AT+PRINTX=" + _integerText(format), ending); }
function printxQuery(ending) { return encodeCommand("AT+PRINTX?", ending); }
function samplertSet(mode, ending) { return encodeCommand("AT+SAMPLERT=" + _integerText(mode), ending); }
function samplertQuery(ending) { return encodeCommand("AT+SAMPLERT?", ending); }
function reportrtSet(rate, ending) { return encodeCommand("AT+REPORTRT=" + _integerText(rate), ending); }
function reportrtQuery(ending) { return encodeCommand("AT+REPORTRT?", ending); }
function channelSet(channelText, ending) { return encodeCommand("AT+CHANNEL=" + _argumentText(channelText), ending); }
function channelQuery(ending) { return encodeCommand("AT+CHANNEL?", ending); }

function _debugKey(key) {
    return (key === undefined || key === null || key === "") ? "DEBUGL" : _argumentText(key);
}

function debugSet(enabled, ending, key) {
    return encodeCommand("AT+" + _debugKey(key) + "=" + _truthDigit(enabled), ending);
}

function debugQuery(ending, key) {
    return encodeCommand("AT+" + _debugKey(key) + "?", ending);
}

// ---------------------------------------------------------------------------------------
// Reply parsing

function _trimLine(line) {
    if (line === undefined || line === null)
        return "";
    var text = _toText(line);
    if (text.indexOf("\r") >= 0 || text.indexOf("\n") >= 0)
        text = text.replace(/[\r\n]/g, "");
    return _trim(text);
}

function _nativeFrame(match, raw) {
    return {
        kind: "weight",
        status: match[1].toUpperCase(),
        weight: Number(match[2]),
        stable: match[3] === "1",
        overload: match[4] === "1",
        raw: raw
    };
}

function parseLine(line) {
    var raw = _trimLine(line);
    if (raw === "")
        return null;
    if (raw === "OK")
        return { kind: "ok", raw: raw };
    if (_versionPattern.test(raw))
        return { kind: "version", version: raw, raw: raw };
    var frame = parseMerovantWeightLine(raw);
    if (frame)
        return frame;
    var match = _echoPattern.exec(raw);
    if (match)
        return { kind: "echo", key: match[1].toUpperCase(), value: _trim(match[2]), raw: raw };
    match = _snPattern.exec(raw);
    if (match)
        return { kind: "sn", sn: _trim(match[1]), raw: raw };
    match = _nativeLinePattern.exec(raw);
    if (match)
        return _nativeFrame(match, raw);
    return { kind: "text", text: raw, raw: raw };
}

function parseMerovantWeightLine(line) {
    var raw = _trimLine(line);
    if (raw === "")
        return null;
    var match = _merovantLinePattern.exec(raw);
    if (!match)
        return null;
    var weight = Number(match[3]);
    if (match[4] === "g")
        weight /= 1000;
    return {
        kind: "weight",
        status: (match[1] + match[2]).toUpperCase(),
        weight: weight,
        stable: match[1] === "s",
        overload: false,
        net: match[2] === "n",
        unit: "kg",
        raw: raw
    };
}

// The end of the received text that the buffer parsers scan. A tail length that is not a
// positive number falls back to the default.
// Any tailLen reads as a number; one that cannot (a Symbol, an object without valueOf)
// counts as absent.
function _tail(text, tailLen) {
    var length;
    try {
        length = Number(tailLen);
    } catch (e) {
        length = 0;
    }
    length = length > 0 ? Math.floor(length) : _defaultTailLength;
    return text.length > length ? text.slice(text.length - length) : text;
}

function _bufferText(receivedData) {
    return (receivedData === undefined || receivedData === null) ? "" : _toText(receivedData);
}

// The last frame a left-to-right scan of the tail finds. A match begins with its only two
// letters and nothing before it changes it, so matches never overlap and the last one is
// simply the match that starts furthest right. Scanning a short end window first, and a wider
// one only when it holds no match, finds that same frame without walking the whole tail.
function parseLatestWeightFromBuffer(receivedData, tailLen) {
    var text = _bufferText(receivedData);
    if (text === "")
        return null;
    var tail = _tail(text, tailLen);
    // A literal gives each call its own scanner (the g flag keeps a position) over code that
    // the engine compiles once.
    var scan = /([A-Za-z]{2})\s*([-+]?\d+(?:\.\d+)?),\s*([01]),\s*([01])/g;
    for (var window = _firstWindow; ; window *= 4) {
        scan.lastIndex = Math.max(0, tail.length - window);
        var last = null;
        var match;
        while ((match = scan.exec(tail)) !== null)
            last = match;
        if (last)
            return _nativeFrame(last, last[0]);
        if (window >= tail.length)
            return null;
    }
}

// Hands the pieces between runs of line breaks to read(), the last piece first, and returns
// the first frame read() gives. skipLast and skipFirst leave out the piece after the last
// break and the one before the first. Splitting an end window gives the same pieces as
// splitting the whole tail, except that its first piece may be cut: so that piece is left for
// the next, wider window, and the window grows only while no frame is found.
function _latestInPieces(tail, read, skipLast, skipFirst) {
    for (var window = _firstWindow; ; window *= 4) {
        var whole = window >= tail.length;
        var pieces = (whole ? tail : tail.slice(tail.length - window)).split(_lineBreak);
        var first = (whole && !skipFirst) ? 0 : 1;
        for (var i = pieces.length - (skipLast ? 2 : 1); i >= first; --i) {
            var frame = read(pieces[i]);
            if (frame)
                return frame;
        }
        if (whole)
            return null;
    }
}

function parseLatestMerovantWeightFromBuffer(receivedData, tailLen) {
    var text = _bufferText(receivedData);
    if (text === "")
        return null;
    // The unterminated last piece is tried too: until its unit has arrived it cannot match.
    return _latestInPieces(_tail(text, tailLen), parseMerovantWeightLine, false, false);
}

function _plainNumberFrame(piece) {
    var raw = _trimLine(piece);
    if (raw === "" || !_plainNumber.test(raw))
        return null;
    return { kind: "weight", weight: Number(raw), stable: true, overload: false, raw: raw };
}

function parseLatestNumericWeightFromBuffer(receivedData, tailLen) {
    var text = _bufferText(receivedData);
    if (text === "")
        return null;
    var tail = _tail(text, tailLen);
    // A bare number is complete only once its line break has arrived: "20.000" arriving as
    // "2", "20.0" must not show 2 kg first, so the piece after the last break never counts.
    // Likewise at the front: when the tail starts inside a line, its first piece is the end
    // of a longer line ("0.000" of "20.000", "234.5" of "1,234.5") and is no reading.
    var before = text.charAt(text.length - tail.length - 1);
    var cutInLine = tail.length < text.length && before !== "\r" && before !== "\n";
    return _latestInPieces(tail, _plainNumberFrame, true, cutInLine);
}
