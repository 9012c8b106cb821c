#pragma once

#include <QObject>
#include <QString>
#include <QStringView>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

// The sensor's line grammar in native code: the weight frames of its three output formats,
// found in received text, and what kind of line a reply is. WeighProtocol.js says the same
// for documents; a randomised test holds the two together, answer for answer.
//
// The formats, by their stored index:
//   1 Native    "ST005.20,1,0": status letters, weight, stable flag, overload flag
//   2 Merovant  "sn0001.23kg": s(table)/w(avering), g(ross)/n(et), weight, kg or g
//   3 Ascii     "20.000": a bare number on its own line, always stable
class WeighGrammar : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    enum Format { Native = 1, Merovant = 2, Ascii = 3 };
    Q_ENUM(Format)

    enum LineKind { Empty, Ok, Version, Weight, Echo, SerialNumber, Text };
    Q_ENUM(LineKind)

    // The buffer parsers' default: the end of the text they look at.
    static constexpr qsizetype DefaultTailLength = 2048;

    struct Frame
    {
        Format format = Native;
        QString status; // "ST", "SN"...; empty in the ASCII format
        double weight = 0; // kilograms
        bool stable = false;
        bool overload = false;
        // Net (1) or gross (0) where the format says so (the "n"/"g" of the Merovant
        // format), -1 where it does not.
        int net = -1;
        QString raw;
        // Where raw ends in the text that was scanned.
        qsizetype end = -1;
    };

    struct Line
    {
        LineKind kind = Empty;
        QString raw; // the line without breaks and surrounding white space
        QString key; // Echo: the setting's name, upper case
        QString value; // Echo: its value; Version and SerialNumber: what they say
        Frame frame; // Weight
    };

    explicit WeighGrammar(QObject *parent = nullptr) : QObject(parent) { }

    // 2 is Merovant, 3 is Ascii, anything else Native.
    static Format formatOf(int index);

    // The newest frame of format in the last tailLen characters of text (the default when
    // tailLen is not positive), exactly as the script's parseLatest...FromBuffer finds it.
    static bool latest(Format format, QStringView text, qsizetype tailLen, Frame &out);
    // One whole line of a format.
    static bool nativeLine(QStringView line, Frame &out);
    static bool merovantLine(QStringView line, Frame &out);
    static bool numberLine(QStringView line, Frame &out);

    // What a reply line is, as the script's parseLine tells it.
    static Line classify(QStringView line);
    // A whole line that is a weight of any format (a bare number too).
    static bool isWeightLine(QStringView line);
    // The sensor refusing a command: "ERR…", "ERROR".
    static bool isRefusal(QStringView line);
    // The line without its breaks and surrounding white space, as the script trims it.
    static QString trimLine(QStringView line);

    // The frame in the shape the script's parsers give it (null for none).
    static QVariant frameValue(const Frame &frame);

    // For documents and tests: latest() and classify() with the script's answers.
    Q_INVOKABLE QVariant latestFrame(int format, const QString &text, int tailLen = 0) const;
    Q_INVOKABLE QVariant parseLine(const QString &line) const;
};
