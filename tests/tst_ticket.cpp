#include "recordstore.h"
#include "testsupport.h"
#include "ticketwriter.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace Qt::StringLiterals;

namespace {
// One net weighing of 12.340 kg on a 0.500 kg tare, at 2026-01-31 09:30 in Shanghai, with
// the changes (JSON) made to it.
QVariantMap example(const QByteArray &changes = "{}")
{
    QVariantMap record = QJsonDocument::fromJson(R"({"station": "0123ABCD89abcdef0123456789abcdef",
        "stationName": "一号秤", "number": 1234, "timeMs": 1769823000000, "weightKg": 12.34,
        "tareKg": 0.5, "unit": "公斤", "mode": "净重", "manual": false,
        "hash": "1a2b3c4d5e6f7a8b999999999999999999999999999999999999999999999999"})")
                                 .toVariant()
                                 .toMap();
    record.insert(QJsonDocument::fromJson(changes).toVariant().toMap());
    return record;
}

// pdftotext's reading of a PDF: what a reader copying its text gets. Qt maps some of Noto
// CJK's glyphs back to the look-alike Kangxi radicals (⼀ for 一); NFKC folds them back
// (and № to No: the texts looked for are folded the same way).
QString pdfText(const QString &path)
{
    QProcess p;
    p.start(u"pdftotext"_s, {u"-layout"_s, path, u"-"_s});
    return p.waitForFinished() && p.exitCode() == 0
            ? QString::fromUtf8(p.readAllStandardOutput()).normalized(QString::NormalizationForm_KC)
            : QString();
}

// Pixels of ink and of the void box's red in a ticket painted at 300 dpi.
std::pair<int, int> inkAndRed(const QVariantMap &record, const QString &saveAs = {})
{
    QImage image(945, 1417, QImage::Format_RGB32);
    QPainter painter(&image);
    TicketWriter::paint(&painter, image.rect(), record);
    painter.end();
    if (!saveAs.isEmpty())
        image.save(saveAs);
    int ink = 0, red = 0;
    const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
    for (const QRgb c : QList<QRgb>(pixels, pixels + image.sizeInBytes() / 4)) {
        ink += qGray(c) < 100;
        red += qRed(c) > 150 && qGreen(c) < 90;
    }
    return {ink, red};
}
} // namespace

class TestTicket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data()
    {
        QTest::addColumn<QByteArray>("changes"); // to example()
        QTest::addColumn<QString>("weights"); // the lines from 读数 to 净重, "|" between them
        QTest::addColumn<QString>("also");
        const QString net
                = u"读数（净重） 12.340 公斤|毛重 12.840 公斤|皮重 0.500 公斤|净重 12.340 公斤"_s;
        QTest::newRow("net, tare known")
                << QByteArray("{}") << net << u"时间 2026-01-31 09:30:00 UTC+08:00"_s;
        QTest::newRow("gross, tare held not taken off")
                << QByteArray(R"({"mode": "毛重"})")
                << u"读数（毛重） 12.340 公斤|毛重 12.340 公斤|皮重 未扣皮|净重 未知"_s
                << u"校验 1a2b 3c4d 5e6f 7a8b"_s;
        QTest::newRow("net, tare null")
                << QByteArray(R"({"tareKg": null})")
                << u"读数（净重） 12.340 公斤|毛重 未知|皮重 未知|净重 12.340 公斤"_s
                << u"站点 一号秤 · 0123abcd"_s;
        QTest::newRow("mode, tare and number unknown")
                << QByteArray(R"({"mode": "", "tareKg": "NaN", "number": null})")
                << u"读数（方式未知） 12.340 公斤|毛重 未知|皮重 未知|净重 未知"_s
                << u"编号 未知"_s;
        QTest::newRow("jin, manual")
                << QByteArray(R"({"unit": "斤", "manual": true})")
                << u"读数（净重） 24.680 斤|毛重 25.680 斤|皮重 1.000 斤|净重 24.680 斤"_s
                << u"方式 手动"_s;
        QTest::newRow("voided") << QByteArray(R"({"voidReason": "车未停稳"})") << net
                                << u"已作废：车未停稳"_s;
    }
    void lines()
    {
        QFETCH(QByteArray, changes);
        QFETCH(QString, weights);
        QFETCH(QString, also);
        const QStringList lines = TicketWriter::lines(example(changes));
        const QStringList expected = weights.split(u'|');
        const qsizetype reading = lines.indexOf(expected.first());
        QVERIFY2(reading > 0, qPrintable(lines.join(u'\n')));
        QCOMPARE(lines.mid(reading, expected.size()), expected);
        QVERIFY2(lines.contains(also), qPrintable(lines.join(u'\n')));
        // A void shows first, under the title.
        QCOMPARE(lines.at(1).startsWith(u"已作废："_s), changes.contains("voidReason"));
    }

    // The same drawing as a PDF file, through a PdfFormat QPrinter (under a QGuiApplication,
    // as the tool runs) and as an image, where a void must show in red.
    void documents()
    {
        // docs/ticket-*: PELORA_TICKET_PICTURE=docs tst_ticket documents
        const QString pictures = qEnvironmentVariable("PELORA_TICKET_PICTURE");
        TicketWriter writer(nullptr);
        if (!pictures.isEmpty())
            QCOMPARE(writer.writePdf(example(), pictures + u"/ticket-example.pdf"_s), QString());
        const auto [ink, red] = inkAndRed(
                example(), pictures.isEmpty() ? QString() : pictures + u"/ticket-example.png"_s);
        QVERIFY2(ink > 20000 && red == 0, qPrintable(u"%1 %2"_s.arg(ink).arg(red)));
        const QVariantMap voided = example(R"({"voidReason": "车未停稳，重新过磅"})");
        const QString voidedPng
                = pictures.isEmpty() ? QString() : pictures + u"/ticket-voided.png"_s;
        QVERIFY(inkAndRed(voided, voidedPng).second > 20000);

        QTemporaryDir dir;
        const QString path = dir.filePath(u"new/folder/ticket.pdf"_s);
        QCOMPARE(writer.writePdfUrl(example(), QUrl::fromLocalFile(path)), QString());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(5), "%PDF-");
        QCOMPARE(QDir(dir.filePath(u"new/folder"_s)).entryList(QDir::Files), {u"ticket.pdf"_s});

        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath(u"printer.pdf"_s));
        QPainter painter;
        QVERIFY(painter.begin(&printer));
        TicketWriter::paint(&painter, QRectF(0, 0, printer.width(), printer.height()), example());
        QVERIFY(painter.end());

        if (QStandardPaths::findExecutable(u"pdftotext"_s).isEmpty())
            QSKIP("pdftotext is missing: scripts/setup.sh installs it (poppler-utils)");
        for (const QString &pdf : {path, printer.outputFileName()}) {
            const QString text = pdfText(pdf);
            for (const QString &s : {u"№1234"_s, u"1a2b 3c4d 5e6f 7a8b"_s, u"一号秤"_s,
                                     u"2026-01-31 09:30:00 UTC+08:00"_s, u"12.840 公斤"_s})
                QVERIFY2(text.contains(s.normalized(QString::NormalizationForm_KC)),
                         qPrintable(pdf + u":\n"_s + text));
        }
    }

    // Where the ticket cannot go, the answer says so and no file is left.
    void refusals()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(u"file"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        TicketWriter writer(nullptr);
        QVERIFY(writer.writePdf(example(), blocker.fileName() + u"/sub/t.pdf"_s)
                        .contains(u"无法建立文件夹"_s));
#ifdef Q_OS_LINUX
        // No one, root included, makes files in /proc.
        QVERIFY(!writer.writePdf(example(), u"/proc/pelora-ticket.pdf"_s).isEmpty());
        QCOMPARE(QDir(u"/proc"_s).entryList({u"pelora-ticket*"_s}, QDir::Files), {});
        // A disk that fills up before the last of the file (a file size limit, the PDF's size
        // less a little): the cut PDF is not left behind.
        const QString whole = dir.filePath(u"whole.pdf"_s);
        QCOMPARE(writer.writePdf(example(), whole), QString());
        rlimit before, limit;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        limit = before;
        limit.rlim_cur = QFileInfo(whole).size() - 512;
        signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const QString full = writer.writePdf(example(), dir.filePath(u"full.pdf"_s));
        setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(!full.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList({u"full*"_s}), {});
#endif
        QCOMPARE(writer.print(example(), u"pelora-no-such-printer"_s),
                 u"没有名为 pelora-no-such-printer 的打印机"_s);
        QVERIFY(writer.suggestedPdfPath(example()).endsWith(u"/pelora-ticket-0123abcd-1234.pdf"_s));
    }

    // With the option on, every automatic record gets its ticket once it is in the file (as
    // a PDF in the documents folder where no printer is chosen); a manual one does not. The
    // option is kept in the records file.
    void automaticTickets()
    {
        TestSupport::ScratchSettings scratch;
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        qunsetenv("XDG_CONFIG_HOME");
        const QString path = home.filePath(u"records.sqlite"_s);
        {
            RecordStore store(path);
            TicketWriter writer(&store);
            QTRY_VERIFY(store.stateKnown());
            writer.setAutoPrint(true);
            QSignalSpy saved(&store, &RecordStore::recordSaved);
            store.addRecord(2, u"公斤"_s, u"毛重"_s, {}, true);
            store.addRecord(1.5, u"公斤"_s, u"净重"_s, {}, false, -1, 0.5);
            QTRY_COMPARE(saved.size(), 2);
            QTRY_VERIFY(writer.autoResult().startsWith(u"小票已保存到"_s));
            const QStringList tickets = QDir(home.filePath(u"Documents"_s)).entryList(QDir::Files);
            QCOMPARE(tickets.size(), 1);
            QVERIFY2(tickets[0].endsWith(u"-2.pdf"_s), qPrintable(tickets[0])); // record №2
            QVERIFY(TestSupport::drain(&store));
        }
        RecordStore store(path);
        TicketWriter writer(&store);
        QTRY_VERIFY(writer.autoPrint());
    }
};

// Print Support brings Qt Widgets in, and with it QTEST_MAIN's QApplication: the tool has a
// QGuiApplication, so the test has one too.
int main(int argc, char **argv)
{
    qputenv("TZ", "Asia/Shanghai");
    QGuiApplication app(argc, argv);
    TestTicket test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ticket.moc"
