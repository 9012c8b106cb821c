// pelora-verify: checks that a records file, or a CSV exported from one, is whole: every
// entry there, in its place and as it was written. Exit 0 when it is, 1 at a break, 2 when
// the file cannot be read, 3 for a records file from before the chain.

#include "chainverifier.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
int verifyDatabase(const QString &path, QString *text)
{
    int code = 2;
    {
        QSqlDatabase db
                = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verify"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        QSqlQuery version(db);
        if (!db.open() || !version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
            *text = QCoreApplication::translate("pelora-verify", "无法读取 %1").arg(path);
        } else if (!db.tables().contains(QStringLiteral("records"))) {
            *text = QCoreApplication::translate("pelora-verify", "%1 不是 Pelora 的记录文件")
                            .arg(path);
        } else if (version.value(0).toInt() < 3) {
            *text = QCoreApplication::translate(
                            "pelora-verify",
                            "%1 是旧版本的记录文件，还没有记录链（用 Pelora 打开一次即可升级）")
                            .arg(path);
            code = 3;
        } else {
            version.finish();
            ChainVerifier verifier;
            SqlChainSource source(db);
            source.attach(&verifier);
            int read = 0;
            while ((read = source.readBatch(&verifier, 50000)) == 50000 && !verifier.broken()) { }
            if (read < 0 && source.busy()) {
                *text = QCoreApplication::translate("pelora-verify",
                                                    "%1 被其他程序占用，请稍后再试")
                                .arg(path);
            } else {
                if (read < 0) {
                    // A chain that cannot be read is no whole chain.
                    verifier.fail(
                            verifier.headSeq() + 1,
                            QCoreApplication::translate("pelora-verify", "记录链无法读取（%1）")
                                    .arg(source.errorText()));
                } else {
                    source.finish(&verifier);
                }
                *text = verifier.summary();
                code = verifier.broken() ? 1 : 0;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("verify"));
    return code;
}
} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    SetConsoleOutputCP(CP_UTF8);
#endif
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.size() != 1 || args[0].startsWith(u'-')) {
        err << "usage: pelora-verify FILE   (a records.sqlite file or a CSV exported from "
               "Pelora)\n";
        return 2;
    }
    const QString path = args[0];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err << QCoreApplication::translate("pelora-verify", "无法读取 %1：%2")
                        .arg(path, file.errorString())
            << '\n';
        return 2;
    }
    const bool sqlite = file.read(16) == QByteArray("SQLite format 3\0", 16);
    file.close();
    QString text;
    int code = 0;
    if (sqlite) {
        code = verifyDatabase(path, &text);
    } else {
        ChainVerifier verifier;
        const QString error = verifyCsv(path, &verifier);
        text = error.isEmpty() ? verifier.summary() : error;
        code = !error.isEmpty() ? 2 : verifier.broken() ? 1 : 0;
    }
    (code == 0 ? out : err) << text << '\n';
    return code;
}
