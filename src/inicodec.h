#pragma once

#include <QSettings>

class QIODevice;

// Qt's INI text, byte for byte as the native format writes and reads it on Unix, so a file
// written here stays readable by QSettings() and earlier files load unchanged. Unlike Qt's own
// writer it reports a buffer that could not be flushed (a full disk), so QSettings keeps the
// previous file instead of committing a cut one.
namespace IniCodec {

// Every key=value of the text under its section, as "section/key". Like Qt's reader it keeps
// whatever could be read and passes over a stray line, so it always answers true.
bool read(QIODevice &device, QSettings::SettingsMap &map);

// The whole map as one text: sections by name, keys by name within them. False when the
// device did not take every byte.
bool write(QIODevice &device, const QSettings::SettingsMap &map);

// The two above registered with QSettings as the "conf" file format (once per process).
QSettings::Format format();

} // namespace IniCodec
