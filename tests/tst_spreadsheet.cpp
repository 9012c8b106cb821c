#include "recordstore.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

// The export as a real spreadsheet program reads it: LibreOffice Calc opens the CSV the way
// Excel opens one (dates and times recognised, text that looks like a formula evaluated),
// saves it as .xlsx, and that workbook is saved again as flat XML to look at its cells.
class tst_Spreadsheet : public QObject
{
    Q_OBJECT

    struct Cell
    {
        QString type, value, date, formula, text;
    };

    QTemporaryDir m_dir;

    // Converts file into format in a folder of that name; an empty answer is a failure.
    QString convert(const QString &file, const QString &format, const QString &filter = {})
    {
        QProcess soffice;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, m_dir.path()); // never the user's own profile
        soffice.setProcessEnvironment(env);
        QStringList args{u"--headless"_s,
                         u"-env:UserInstallation=file://"_s + m_dir.filePath(u"profile"_s)};
        if (!filter.isEmpty())
            args << u"--infilter="_s + filter;
        args << u"--convert-to"_s << format << u"--outdir"_s << m_dir.filePath(format) << file;
        soffice.start(QStandardPaths::findExecutable(u"soffice"_s), args);
        if (!soffice.waitForFinished(120000)) {
            soffice.kill();
            soffice.waitForFinished();
            return {};
        }
        const QString out = m_dir.filePath(format + u'/' + QFileInfo(file).completeBaseName() + u'.'
                                           + format);
        return soffice.exitCode() == 0 && QFile::exists(out) ? out : QString();
    }

    // The first sheet's rows that hold anything.
    static QList<QList<Cell>> cells(const QString &fods)
    {
        QFile file(fods);
        QList<QList<Cell>> rows;
        if (!file.open(QIODevice::ReadOnly))
            return rows;
        QXmlStreamReader xml(&file);
        int repeat = 1;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isEndElement() && xml.name() == u"table")
                break;
            if (!xml.isStartElement())
                continue;
            if (xml.name() == u"table-row") {
                rows.append(QList<Cell>());
            } else if (xml.name() == u"table-cell" && !rows.isEmpty()) {
                // Equal neighbours are one element; the empty rest of a row repeats thousands.
                const QXmlStreamAttributes a = xml.attributes();
                repeat = qBound(1, a.value(u"table:number-columns-repeated"_s).toInt(), 64);
                for (int i = 0; i < repeat; ++i)
                    rows.last().append({a.value(u"office:value-type"_s).toString(),
                                        a.value(u"office:value"_s).toString(),
                                        a.value(u"office:date-value"_s).toString(),
                                        a.value(u"table:formula"_s).toString(), QString()});
            } else if (xml.name() == u"p" && !rows.isEmpty() && !rows.last().isEmpty()) {
                const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                for (int i = 1; i <= repeat; ++i)
                    rows.last()[rows.last().size() - i].text += text;
            }
        }
        rows.removeIf([](const QList<Cell> &row) {
            return std::all_of(row.begin(), row.end(),
                               [](const Cell &c) { return c.type.isEmpty(); });
        });
        return rows;
    }

private Q_SLOTS:
    void exportReadsAsDatesNumbersAndText()
    {
        if (QStandardPaths::findExecutable(u"soffice"_s).isEmpty()) {
            if (qgetenv("PELORA_STRICT") == "1")
                QFAIL("soffice (libreoffice-calc-nogui) is missing");
            QSKIP("soffice (libreoffice-calc-nogui) is missing");
        }
        const QStringList hostile{u"=HYPERLINK(\"x\",\"点我\")"_s, u"+1"_s, u"-2"_s, u"@x"_s,
                                  u"\tx"_s};
        const QList<double> weights{1.25, -2.5, 3, 0.005, 1234.5};
        const QDateTime t0(QDate(2025, 6, 1), QTime(10, 0));
        RecordStore store(m_dir.filePath(u"records.sqlite"_s));
        for (int i = 0; i < hostile.size(); ++i)
            QVERIFY(store.addRecord(weights[i], hostile[(i + 1) % 5],
                                    i ? hostile[(i + 2) % 5] : QString(), hostile[i], i % 2,
                                    t0.addSecs(i * 3600).toMSecsSinceEpoch())
                    > 0);
        const QString csv = m_dir.filePath(u"records.csv"_s);
        QSignalSpy exported(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsvToPath(csv), QString());
        QVERIFY(exported.wait());
        QCOMPARE(exported.first().at(1).toString(), QString());

        // Comma, quote, UTF-8, from line 1, Excel's locale, special numbers detected, formulas
        // evaluated (the 13th field).
        const QString xlsx = convert(
                csv, u"xlsx"_s, u"CSV:44,34,76,1,,1033,false,true,false,false,false,-1,true"_s);
        QVERIFY(!xlsx.isEmpty());
        const QString fods = convert(xlsx, u"fods"_s);
        QVERIFY(!fods.isEmpty());
        const QList<QList<Cell>> rows = cells(fods);
        QCOMPARE(rows.size(), 1 + hostile.size());
        for (int i = 0; i < hostile.size(); ++i) {
            const QList<Cell> &row = rows[i + 1];
            QCOMPARE(row.size(), 7);
            for (const Cell &cell : row)
                QVERIFY2(cell.formula.isEmpty(), qPrintable(cell.formula));
            QCOMPARE(row[0].type, u"date"_s);
            QCOMPARE(row[0].date, t0.addSecs(i * 3600).toString(u"yyyy-MM-ddTHH:mm:ss"_s));
            QCOMPARE(row[1].type, u"string"_s);
            QCOMPARE(row[2].type, u"float"_s);
            QCOMPARE(row[2].value.toDouble(), weights[i]);
            for (int column : {3, 4, 5})
                QCOMPARE(row[column].type, u"string"_s);
            QVERIFY2(row[5].text.endsWith(hostile[i].trimmed()), qPrintable(row[5].text));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Spreadsheet)
#include "tst_spreadsheet.moc"
