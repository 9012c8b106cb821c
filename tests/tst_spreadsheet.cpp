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
// Excel opens one (dates and times recognised, text that looks like a formula evaluated) and
// saves it as flat XML, to look at its cells.
class tst_Spreadsheet : public QObject
{
    Q_OBJECT

    // The first sheet's rows, each with the attributes of the cells that hold anything (the
    // empty cells of this export are only those after its last column).
    static QList<QList<QXmlStreamAttributes>> cells(const QString &fods)
    {
        QFile file(fods);
        QList<QList<QXmlStreamAttributes>> rows;
        if (!file.open(QIODevice::ReadOnly))
            return rows;
        QXmlStreamReader xml(&file);
        while (!xml.atEnd() && !(xml.isEndElement() && xml.name() == u"table")) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == u"table-row")
                rows.emplace_back();
            else if (xml.attributes().hasAttribute(u"office:value-type"_s) && !rows.isEmpty())
                rows.last().append(xml.attributes());
        }
        rows.removeIf([](const QList<QXmlStreamAttributes> &row) { return row.isEmpty(); });
        return rows;
    }

private Q_SLOTS:
    void exportReadsAsDatesNumbersAndNoFormulas()
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
        QTemporaryDir dir;
        RecordStore store(dir.filePath(u"records.sqlite"_s));
        for (int i = 0; i < hostile.size(); ++i)
            QVERIFY(store.addRecord(weights[i], hostile[(i + 1) % 5],
                                    i ? hostile[(i + 2) % 5] : QString(), hostile[i], i % 2,
                                    t0.addSecs(i * 3600).toMSecsSinceEpoch())
                    > 0);
        const QString csv = dir.filePath(u"records.csv"_s);
        QSignalSpy exported(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsvToPath(csv), QString());
        QVERIFY(exported.wait());

        // Comma, quote, UTF-8, from line 1, Excel's locale, special numbers detected, formulas
        // evaluated (the 13th field).
        QProcess soffice;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, dir.path()); // never the user's own profile
        soffice.setProcessEnvironment(env);
        soffice.start(QStandardPaths::findExecutable(u"soffice"_s),
                      {u"--headless"_s,
                       u"-env:UserInstallation=file://"_s + dir.filePath(u"profile"_s),
                       u"--infilter=CSV:44,34,76,1,,1033,false,true,false,false,false,-1,true"_s,
                       u"--convert-to"_s, u"fods"_s, u"--outdir"_s, dir.path(), csv});
        QVERIFY(soffice.waitForFinished(120000));
        QCOMPARE(soffice.exitCode(), 0);
        const QList<QList<QXmlStreamAttributes>> rows = cells(dir.filePath(u"records.fods"_s));
        QCOMPARE(rows.size(), 2 + hostile.size()); // the header, the chain's first entry

        const QStringList types{u"date"_s,   u"string"_s, u"float"_s, u"string"_s,
                                u"string"_s, u"string"_s, u"string"_s};
        for (int i = 0; i < hostile.size(); ++i) {
            const QList<QXmlStreamAttributes> &row = rows[i + 2];
            QVERIFY(row.size() > types.size()); // and the chain's columns after them
            for (int column = 0; column < row.size(); ++column) {
                if (column < types.size())
                    QCOMPARE(row[column].value(u"office:value-type"_s).toString(), types[column]);
                QCOMPARE(row[column].value(u"table:formula"_s).toString(), QString());
            }
            QCOMPARE(row[0].value(u"office:date-value"_s).toString(),
                     t0.addSecs(i * 3600).toString(u"yyyy-MM-ddTHH:mm:ss"_s));
            QCOMPARE(row[2].value(u"office:value"_s).toDouble(), weights[i]);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Spreadsheet)
#include "tst_spreadsheet.moc"
