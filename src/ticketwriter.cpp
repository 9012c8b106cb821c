#include "ticketwriter.h"

#include "recordstore.h"

#include <QQmlEngine>

#include "csvformat.h"
#include "tools.h"
#include "weightreading.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// A till roll's width; the height holds the longest ticket (a voided one) with room to spare.
QPageSize ticketPageSize()
{
    return QPageSize(QSizeF(80, 120), QPageSize::Millimeter, QStringLiteral("Pelora ticket"));
}

struct Row
{
    QString label;
    QString value;
};

// What the ticket says, worked out once for lines() and paint().
struct Ticket
{
    QString voided; // the reason, empty unless the record was voided
    QList<Row> head; // station, number, time
    Row reading; // the weight as recorded, with its mode
    QList<Row> weights; // gross, tare, net
    QList<Row> tail; // how it was recorded, the check hash
};

QString unknown()
{
    return TicketWriter::tr("未知");
}

std::optional<double> number(const QVariantMap &record, const QString &key)
{
    const QVariant value = record.value(key);
    bool ok = false;
    const double d = value.isNull() || value.typeId() == QMetaType::Bool ? 0 : value.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    return d;
}

// The first count characters of a hex id of length characters, lower-case; empty when the
// text is no such id.
QString hexPrefix(const QVariant &value, int length, int count)
{
    const QString text = value.toString();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]+$"));
    if (text.size() != length || !hex.match(text).hasMatch())
        return QString();
    return text.left(count).toLower();
}

Ticket makeTicket(const QVariantMap &record)
{
    Ticket t;
    t.voided = record.value(QStringLiteral("voidReason")).toString().trimmed();

    const QString name = record.value(QStringLiteral("stationName")).toString().trimmed();
    const QString station = hexPrefix(record.value(QStringLiteral("station")), 32, 8);
    const QString id = station.isEmpty() ? unknown() : station;
    t.head.append(
            {TicketWriter::tr("站点"), name.isEmpty() ? id : name + QStringLiteral(" · ") + id});

    bool seqOk = false;
    const QVariant seqValue = record.value(QStringLiteral("number"));
    const qint64 seq = seqValue.isNull() ? -1 : seqValue.toLongLong(&seqOk);
    t.head.append({TicketWriter::tr("编号"),
                   seqOk && seq >= 0 ? QStringLiteral("№%1").arg(seq) : unknown()});

    bool timeOk = false;
    const QVariant timeValue = record.value(QStringLiteral("timeMs"));
    const qint64 timeMs = timeValue.isNull() ? 0 : timeValue.toLongLong(&timeOk);
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(timeMs);
    t.head.append({TicketWriter::tr("时间"),
                   timeOk && time.isValid() ? CsvFormat::dateTimeCell(time) + QLatin1Char(' ')
                                   + CsvFormat::offsetCell(time)
                                            : unknown()});

    // Values stay in kilograms until shown; shown in the unit the record was made in, as the
    // weight display does (one kilogram is two jin). A record without a unit is shown in
    // kilograms, which is what it holds.
    const bool jin = record.value(QStringLiteral("unit")).toString() == QStringLiteral("斤");
    const QString unit = jin ? TicketWriter::tr("斤") : TicketWriter::tr("公斤");
    const auto shown = [&](std::optional<double> kg) {
        return kg
                ? WeightReading::formatWeight(*kg * (jin ? 2.0 : 1.0), 3) + QLatin1Char(' ') + unit
                : unknown();
    };

    const std::optional<double> weight = number(record, QStringLiteral("weightKg"));
    const std::optional<double> tare = number(record, QStringLiteral("tareKg"));
    const QString mode = record.value(QStringLiteral("mode")).toString();
    const bool net = mode == QStringLiteral("净重");
    const bool gross = mode == QStringLiteral("毛重");
    t.reading = {
            TicketWriter::tr("读数（%1）").arg(net || gross ? mode : TicketWriter::tr("方式未知")),
            shown(weight)};

    // Only measured values, and sums of them, are printed:
    // - 净重: the sensor took the tare off, so the net is the reading; with the tare known the
    //   gross is the two together, else neither is known.
    // - 毛重: the reading is the gross, nothing was taken off. A tare known to be zero makes the
    //   net the reading too; a tare the sensor held but did not apply ("未扣皮") says nothing
    //   of this load's container, so the net stays unknown rather than a guess.
    // - mode unknown: only a zero tare makes gross and net the reading.
    std::optional<double> grossKg, netKg;
    QString tareText = unknown();
    const bool noTare = tare && *tare == 0.0;
    if (net) {
        netKg = weight;
        if (tare) {
            tareText = shown(tare);
            if (weight)
                grossKg = *weight + *tare;
        }
    } else if (gross || noTare) {
        grossKg = weight;
        if (noTare) {
            tareText = shown(0.0);
            netKg = weight;
        } else if (tare) {
            tareText = TicketWriter::tr("未扣皮");
        }
    }
    t.weights = {{TicketWriter::tr("毛重"), shown(grossKg)},
                 {TicketWriter::tr("皮重"), tareText},
                 {TicketWriter::tr("净重"), shown(netKg)}};

    const QVariant manual = record.value(QStringLiteral("manual"));
    t.tail.append({TicketWriter::tr("方式"),
                   manual.isNull()           ? unknown()
                           : manual.toBool() ? TicketWriter::tr("手动")
                                             : TicketWriter::tr("自动")});
    const QString hash = hexPrefix(record.value(QStringLiteral("hash")), 64, 16);
    QStringList groups;
    for (int i = 0; i < hash.size(); i += 4)
        groups.append(hash.mid(i, 4));
    t.tail.append(
            {TicketWriter::tr("校验"), hash.isEmpty() ? unknown() : groups.join(QLatin1Char(' '))});
    return t;
}

QString title()
{
    return TicketWriter::tr("称重小票");
}

QString footer()
{
    return TicketWriter::tr("pelora-verify 可核对");
}

QString voidText(const Ticket &t)
{
    return TicketWriter::tr("已作废：%1").arg(t.voided);
}

QFont ticketFont(double pixelSize, bool bold = false, bool mono = false)
{
    QFont font;
    // Latin letters and digits from a Latin face: Noto Sans CJK draws digits in a run with
    // Latin letters (a time, "UTC") with glyphs its PDF text map lacks, so a reader copying
    // the text got "- - : :" for a date. Chinese falls back to the CJK faces: Noto CJK on
    // Debian, WenQuanYi where only that is installed, the system faces on Windows and macOS.
    const QStringList cjk{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei"),
                          QStringLiteral("Microsoft YaHei"), QStringLiteral("PingFang SC")};
    font.setFamilies((mono ? QStringList{QStringLiteral("DejaVu Sans Mono"),
                                         QStringLiteral("Consolas"), QStringLiteral("Menlo")}
                           : QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("Segoe UI"),
                                         QStringLiteral("Helvetica Neue")})
                     + cjk);
    font.setStyleHint(mono ? QFont::Monospace : QFont::SansSerif);
    // Unhinted, so the text measures the same on a PDF, a printer and an image.
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setPixelSize(qRound(pixelSize));
    font.setBold(bold);
    return font;
}

} // namespace

namespace {
const QString autoKey = QStringLiteral("ticket/auto");
const QString printerKey = QStringLiteral("ticket/printer");
} // namespace

TicketWriter::TicketWriter(RecordStore *store, QObject *parent) : QObject(parent), m_store(store)
{
    refreshPrinters();
    if (!store)
        return;
    const auto load = [this] {
        m_autoPrint = m_store->stateValue(autoKey, false).toBool();
        m_autoPrinter = m_store->stateValue(printerKey).toString();
        Q_EMIT autoPrintChanged();
    };
    if (store->stateKnown())
        load();
    connect(store, &RecordStore::stateLoaded, this, load);
    connect(store, &RecordStore::recordWritten, this, [this](const QVariantMap &record) {
        if (m_autoPrint && !record.value(QStringLiteral("manual")).toBool())
            ticketFor(record);
    });
}

TicketWriter *TicketWriter::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraTicketWriter";
    if (auto *writer = engine->property(key).value<TicketWriter *>())
        return writer;
    auto *writer = new TicketWriter(RecordStore::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(writer, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(writer));
    return writer;
}

void TicketWriter::setAutoPrint(bool on)
{
    if (on == m_autoPrint)
        return;
    m_autoPrint = on;
    if (m_store)
        m_store->setStateValue(autoKey, on);
    Q_EMIT autoPrintChanged();
}

void TicketWriter::setAutoPrinter(const QString &name)
{
    if (name == m_autoPrinter)
        return;
    m_autoPrinter = name;
    if (m_store)
        m_store->setStateValue(printerKey, name);
    Q_EMIT autoPrintChanged();
}

void TicketWriter::ticketFor(const QVariantMap &record)
{
    QString result;
    if (m_autoPrinter.isEmpty()) {
        const QString path = suggestedPdfPath(record);
        const QString error = writePdf(record, path);
        result = error.isEmpty() ? tr("小票已保存到 %1").arg(path) : error;
    } else {
        const QString error = print(record, m_autoPrinter);
        result = error.isEmpty() ? tr("小票已送往打印机 %1").arg(m_autoPrinter) : error;
    }
    m_autoResult = result;
    Q_EMIT autoResultChanged();
}

void TicketWriter::refreshPrinters()
{
    const int generation = ++m_generation;
    QPointer<TicketWriter> self(this);
    QThreadPool::globalInstance()->start([self, generation] {
        const QStringList names = QPrinterInfo::availablePrinterNames();
        const QString defaultName = QPrinterInfo::defaultPrinterName();
        // Posted to the application, which outlives the pool's tasks (it waits for them when
        // it goes), not to this object, which may be gone by now; the pointer is looked at
        // only back on the GUI thread.
        QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, generation, names, defaultName] {
                    if (self)
                        self->takePrinters(generation, names, defaultName);
                },
                Qt::QueuedConnection);
    });
}

void TicketWriter::takePrinters(int generation, const QStringList &names,
                                const QString &defaultName)
{
    if (generation != m_generation || (names == m_printers && defaultName == m_defaultPrinter))
        return;
    m_printers = names;
    m_defaultPrinter = defaultName;
    Q_EMIT printersChanged();
}

QStringList TicketWriter::lines(const QVariantMap &record)
{
    const Ticket t = makeTicket(record);
    QStringList lines{title()};
    if (!t.voided.isEmpty())
        lines.append(voidText(t));
    const auto add
            = [&](const Row &row) { lines.append(row.label + QLatin1Char(' ') + row.value); };
    for (const Row &row : t.head)
        add(row);
    add(t.reading);
    for (const Row &row : t.weights)
        add(row);
    for (const Row &row : t.tail)
        add(row);
    lines.append(footer());
    return lines;
}

QString TicketWriter::writePdf(const QVariantMap &record, const QString &path)
{
    if (path.trimmed().isEmpty())
        return tr("未指定小票的文件名");
    const QString shownPath = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (info.isDir())
        return tr("无法保存小票到 %1：这是一个文件夹").arg(shownPath);
    const QString folder = info.absolutePath();
    if (!QDir().mkpath(folder))
        return tr("无法保存小票到 %1：无法建立文件夹 %2")
                .arg(shownPath, QDir::toNativeSeparators(folder));
    // Written beside the target and renamed into place only when whole: a full disk leaves
    // the old file, or none, never a cut PDF.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return tr("无法保存小票到 %1：%2").arg(shownPath, out.errorString());
    bool painted = false;
    {
        QPdfWriter pdf(&out);
        pdf.setPageSize(ticketPageSize());
        pdf.setPageMargins(QMarginsF(), QPageLayout::Millimeter);
        pdf.setResolution(300);
        pdf.setTitle(title());
        pdf.setCreator(QStringLiteral("Pelora"));
        QPainter painter;
        if (painter.begin(&pdf)) {
            paint(&painter, QRectF(0, 0, pdf.width(), pdf.height()), record);
            painted = painter.end();
        }
    }
    // Qt 6.4's commit() misses a failed last flush: check it first.
    if (!painted || out.error() != QFileDevice::NoError || !out.flush()) {
        const QString why
                = out.error() != QFileDevice::NoError ? out.errorString() : tr("无法生成 PDF");
        out.cancelWriting();
        return tr("无法保存小票到 %1：%2").arg(shownPath, why);
    }
    if (!out.commit())
        return tr("无法保存小票到 %1：%2").arg(shownPath, out.errorString());
    return QString();
}

QString TicketWriter::writePdfUrl(const QVariantMap &record, const QUrl &file)
{
    if (!file.isLocalFile())
        return tr("小票只能保存为本机文件：%1").arg(file.toDisplayString());
    return writePdf(record, file.toLocalFile());
}

QString TicketWriter::print(const QVariantMap &record, const QString &printerName)
{
    if (printerName.isEmpty())
        return tr("未选择打印机");
    const QPrinterInfo info = QPrinterInfo::printerInfo(printerName);
    if (info.isNull())
        return tr("没有名为 %1 的打印机").arg(printerName);
    QPrinter printer(info, QPrinter::HighResolution);
    if (!printer.isValid())
        return tr("打印机 %1 不可用").arg(printerName);
    printer.setFullPage(true);
    printer.setPageSize(ticketPageSize());
    printer.setPageMargins(QMarginsF(), QPageLayout::Millimeter);
    printer.setDocName(title());
    QPainter painter;
    if (!painter.begin(&printer))
        return tr("无法打印到 %1").arg(printerName);
    paint(&painter, QRectF(0, 0, printer.width(), printer.height()), record);
    if (!painter.end() || printer.printerState() == QPrinter::Error)
        return tr("无法打印到 %1").arg(printerName);
    return QString();
}

QString TicketWriter::suggestedPdfPath(const QVariantMap &record) const
{
    // As the records export: the documents folder, made when saving; else the home folder.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !Tools::canMakeFolder(folder))
        folder = QDir::homePath();
    const QString station = hexPrefix(record.value(QStringLiteral("station")), 32, 8);
    bool ok = false;
    const qint64 seq = record.value(QStringLiteral("number")).toLongLong(&ok);
    return QDir(folder).filePath(
            QStringLiteral("pelora-ticket-%1-%2.pdf")
                    .arg(station.isEmpty() ? QStringLiteral("unknown") : station,
                         ok && seq >= 0 ? QString::number(seq) : QStringLiteral("unknown")));
}

void TicketWriter::paint(QPainter *painter, const QRectF &page, const QVariantMap &record)
{
    const Ticket t = makeTicket(record);
    // Drawn in tenths of a millimetre on the 80 × 120 mm page, scaled to whatever page it gets.
    const double scale = std::min(page.width() / 800.0, page.height() / 1200.0);
    painter->save();
    painter->fillRect(page, Qt::white);
    painter->translate(page.topLeft());
    painter->scale(scale, scale);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::TextAntialiasing);

    const double left = 40, width = 720; // 4 mm margins
    double y = 40;
    const QColor ink(Qt::black), grey(0x55, 0x55, 0x55), red(0xC6, 0x28, 0x28);

    const auto text = [&](const QRectF &box, int flags, const QString &s, const QFont &font,
                          const QColor &color) {
        painter->setFont(font);
        painter->setPen(color);
        painter->drawText(box, flags,
                          QFontMetricsF(font).elidedText(s, Qt::ElideRight, box.width()));
    };
    const auto rule = [&] {
        y += 12;
        QPen pen(grey, 2, Qt::DashLine);
        painter->setPen(pen);
        painter->drawLine(QPointF(left, y), QPointF(left + width, y));
        y += 18;
    };
    // A label on the left, its value on the right: the values' ends line up like a till's.
    const auto row = [&](const Row &r, double size, bool bold, bool mono = false) {
        const QFont labelFont = ticketFont(size * 0.85);
        const QFont valueFont = ticketFont(size, bold, mono);
        const double height = QFontMetricsF(valueFont).height() * 1.2;
        const double labelWidth = QFontMetricsF(labelFont).horizontalAdvance(r.label) + 24;
        text(QRectF(left, y, labelWidth, height), Qt::AlignLeft | Qt::AlignVCenter, r.label,
             labelFont, grey);
        text(QRectF(left + labelWidth, y, width - labelWidth, height),
             Qt::AlignRight | Qt::AlignVCenter, r.value, valueFont, ink);
        y += height;
    };

    const QFont titleFont = ticketFont(60, true);
    const double titleHeight = QFontMetricsF(titleFont).height() * 1.15;
    text(QRectF(left, y, width, titleHeight), Qt::AlignCenter, title(), titleFont, ink);
    y += titleHeight;

    if (!t.voided.isEmpty()) {
        // A voided ticket must not pass for a valid one at a glance: a red box under the title.
        y += 8;
        const QFont voidFont = ticketFont(42, true);
        const double lineHeight = QFontMetricsF(voidFont).height();
        const QRectF box(left, y, width, lineHeight * 2 + 24);
        painter->setPen(QPen(red, 6));
        painter->setBrush(QColor(0xFF, 0xEB, 0xEE));
        painter->drawRect(box);
        painter->setBrush(Qt::NoBrush);
        painter->setFont(voidFont);
        // Two lines at most; a longer reason is cut short with an ellipsis.
        const QRectF inner = box.adjusted(20, 12, -20, -12);
        // (A reason of pages is cut to what two lines could ever hold before it is measured.)
        QString s = voidText(t).left(120);
        const QFontMetricsF metrics(voidFont);
        if (metrics.boundingRect(inner, Qt::TextWordWrap, s).height() > inner.height() + 1) {
            while (s.size() > 1
                   && metrics.boundingRect(inner, Qt::TextWordWrap, s + QChar(0x2026)).height()
                           > inner.height() + 1)
                s.chop(1);
            s += QChar(0x2026);
        }
        painter->drawText(inner, Qt::AlignCenter | Qt::TextWordWrap, s);
        y += box.height() + 8;
    }

    rule();
    for (const Row &r : t.head)
        row(r, 32, false);
    rule();
    row(t.reading, 32, false);
    for (int i = 0; i < t.weights.size(); ++i)
        row(t.weights.at(i), i == 2 ? 52 : 40, i == 2);
    rule();
    for (int i = 0; i < t.tail.size(); ++i)
        row(t.tail.at(i), 32, false, i == 1);
    y += 16;
    const QFont footerFont = ticketFont(28);
    text(QRectF(left, y, width, QFontMetricsF(footerFont).height() * 1.2), Qt::AlignCenter,
         footer(), footerFont, grey);
    painter->restore();
}
