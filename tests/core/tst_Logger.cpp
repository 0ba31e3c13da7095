#include "core/LogCategories.h"
#include "core/Logger.h"
#include "tests/core/RedirectedError.h"

#include <QtTest>

#include <thread>

#include <utime.h>

class tst_Logger : public QObject
{
    Q_OBJECT
private slots:
    void formatsLines_data();
    void formatsLines();
    void removesOnlyOldLogFiles();
    void clipsLongTexts();
    void quotesLikeTheDebugStream_data();
    void quotesLikeTheDebugStream();
    void filtersByLevelAndWritesFile();
    void continuesInNewFilesAndBoundsTheFolder();
    void batchKeepsLinesInOrder_data();
    void batchKeepsLinesInOrder();
    void repeatsLinesOnStandardError_data();
    void repeatsLinesOnStandardError();
};

void tst_Logger::formatsLines_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("line");
    QTest::newRow("debug") << int(QtDebugMsg) << "[D]:2024-03-05 14:02:11\tsome text";
    QTest::newRow("warning") << int(QtWarningMsg) << "[W]:2024-03-05 14:02:11\tsome text";
    QTest::newRow("critical") << int(QtCriticalMsg) << "[C]:2024-03-05 14:02:11\tsome text";
    QTest::newRow("fatal") << int(QtFatalMsg) << "[F]:2024-03-05 14:02:11\tsome text";
}

void tst_Logger::formatsLines()
{
    QFETCH(int, type);
    QFETCH(QString, line);
    const QDateTime time(QDate(2024, 3, 5), QTime(14, 2, 11));
    QCOMPARE(Logger::FormatLogLine(static_cast<QtMsgType>(type), time, "some text"), line);
}

// The documents folder, and so the log folder, inside a temporary home.
static void UseHome(const QTemporaryDir& _home)
{
    qputenv("HOME", _home.path().toUtf8());
    qputenv("XDG_DOCUMENTS_DIR", (_home.path() + "/Documents").toUtf8());
}

static void Touch(const QString& _qstrPath, const QDateTime& _time)
{
    QFile file(_qstrPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const utimbuf times{static_cast<time_t>(_time.toSecsSinceEpoch()),
                        static_cast<time_t>(_time.toSecsSinceEpoch())};
    QCOMPARE(utime(QFile::encodeName(_qstrPath).constData(), &times), 0);
}

void tst_Logger::removesOnlyOldLogFiles()
{
    QTemporaryDir dir;
    const QDateTime now = QDateTime::currentDateTime();
    Touch(dir.filePath("old.log"), now.addDays(-61));
    Touch(dir.filePath("old_js.log"), now.addDays(-61));
    Touch(dir.filePath("recent.log"), now.addDays(-59));
    Touch(dir.filePath("old.txt"), now.addDays(-400));
    Touch(dir.filePath("old.log.bak"), now.addDays(-400));
    QDir(dir.path()).mkdir("folder.log");
    QCOMPARE(Logger::RemoveOldLogs(dir.path(), now), 2);
    QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left, QStringList({"folder.log", "old.log.bak", "old.txt", "recent.log"}));
}

void tst_Logger::clipsLongTexts()
{
    const QByteArray small(100, 'a');
    QCOMPARE(Logger::ClipForLog(small), small);
    const QByteArray big(100000, 'b');
    const QByteArray clipped = Logger::ClipForLog(big);
    QVERIFY(clipped.startsWith(big.left(Logger::kLogClipBytes)));
    QVERIFY(clipped.endsWith("(100000 bytes)"));
    QVERIFY(clipped.size() < Logger::kLogClipBytes + 64);
}

void tst_Logger::quotesLikeTheDebugStream_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("plain") << QByteArray("hello world");
    QTest::newRow("json") << QByteArray(R"({"a":"b\"c","d":[1,2]})");
    QTest::newRow("backslashes") << QByteArray(R"(C:\dir\file)");
    QTest::newRow("utf-8") << QString("名字 abc").toUtf8();
    QTest::newRow("control and hex digit") << QByteArray("a\x01"
                                                         "bc\n\t");
    QTest::newRow("empty") << QByteArray("");
    // Long runs are copied eight bytes at a time; a special byte anywhere in a word still counts.
    QTest::newRow("quote late in a run") << QByteArray("0123456789abcdefghij\"k");
    QTest::newRow("delete after a word") << QByteArray("0123456789abcdef\x7fxyz");
    QTest::newRow("high byte in a word") << QByteArray("012345678\xe5\x90\x8d"
                                                       "012345");
    QTest::newRow("backslash ends a word") << QByteArray("0123456\\01234567");
}

void tst_Logger::quotesLikeTheDebugStream()
{
    QFETCH(QByteArray, text);
    QString viaQt;
    QDebug(&viaQt).nospace() << text;
    QCOMPARE(Logger::QuotedUtf8(text), viaQt.toUtf8());
}

// Runs last: it installs the handler for the rest of the process.
void tst_Logger::filtersByLevelAndWritesFile()
{
    QTemporaryDir home;
    UseHome(home);
    Logger& logger = Logger::Instance();
    QVERIFY(logger.Init(2, "data"));
    QVERIFY(logger.MainLogPath().startsWith(home.path() + "/Documents/data/log/"));
    QVERIFY(QFile::exists(QString(logger.MainLogPath()).replace(".log", "_js.log")));
    logger.InstallHandler();
    QVERIFY(!lcCore().isDebugEnabled()); // not even formatted at this level
    QVERIFY(lcCore().isCriticalEnabled());
    qDebug() << "a debug line";
    qWarning() << "a warning line";
    qCritical() << "a critical line" << QString("quoted");
    qInfo() << "an info line";
    qInstallMessageHandler(nullptr);
    QFile file(logger.MainLogPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 2); // one line and the empty rest after the last "\r\n"
    QVERIFY(lines[0].startsWith("[C]:"));
    QVERIFY(lines[0].endsWith("\ta critical line \"quoted\"\r"));

    // A folder's lines can be silenced on top of the level; the others are written as before.
    logger.InstallHandler();
    QLoggingCategory::setFilterRules(QStringLiteral("qorv.install.critical=false"));
    qCCritical(lcInstall) << "an install line";
    qCCritical(lcCore) << "a core line";
    qCDebug(lcCore) << "a core debug line";
    // Lines handed over in UTF-8 take the same filters and the same form.
    Logger::WriteLine(lcInstall(), QtCriticalMsg, "an install line in UTF-8");
    Logger::WriteLine(lcCore(), QtCriticalMsg, "a core line in UTF-8 \xe5\x90\x8d");
    Logger::WriteLine(lcCore(), QtWarningMsg, "a core warning below the level");
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(nullptr);
    QVERIFY(file.seek(0));
    const QList<QByteArray> after = file.readAll().split('\n');
    QCOMPARE(after.size(), 4);
    QVERIFY(after[1].startsWith("[C]:"));
    QVERIFY(after[1].endsWith("\ta core line\r"));
    QVERIFY(after[2].endsWith("\ta core line in UTF-8 \xe5\x90\x8d\r"));
}

void tst_Logger::continuesInNewFilesAndBoundsTheFolder()
{
    QTemporaryDir home;
    UseHome(home);
    Logger& logger = Logger::Instance();
    QVERIFY(logger.Init(2, "data"));
    const QString folder = QFileInfo(logger.MainLogPath()).absolutePath();
    const QString stamp = QFileInfo(logger.MainLogPath()).completeBaseName();
    // An earlier run's log, recent enough for the age rule, goes first when the folder is full.
    QFile earlier(folder + "/2000-01-01-00-00-00.log");
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write(QByteArray(6000, 'x'));
    earlier.close();
    Touch(earlier.fileName(), QDateTime::currentDateTime().addDays(-1));

    logger.SetLimits(4096, 4 * 4096);
    const QString text(100, QChar('t'));
    for (int i = 0; i < 400; ++i)
        logger.Write(QtCriticalMsg, text);

    const QFileInfoList logs = QDir(folder).entryInfoList({"*.log"}, QDir::Files);
    qint64 total = 0;
    for (const QFileInfo& info : logs) {
        total += info.size();
        QVERIFY2(info.size() <= 4096, qPrintable(info.fileName()));
    }
    QVERIFY(total <= 4 * 4096);
    QVERIFY(!earlier.exists());
    // The run went on in numbered parts; its oldest ones made room.
    QVERIFY(QRegularExpression(QRegularExpression::escape(stamp) + "-1\\d\\.log$")
                .match(logger.MainLogPath())
                .hasMatch());
    QVERIFY(!QFile::exists(folder + "/" + stamp + ".log"));
    QVERIFY(!QFile::exists(folder + "/" + stamp + "-1.log"));
}

void tst_Logger::batchKeepsLinesInOrder_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("length");
    QTest::addColumn<qint64>("maxFileBytes");
    QTest::newRow("a few lines") << 5 << 40 << qint64(1 << 20);
    QTest::newRow("more than the batch buffer") << 300 << 1000 << qint64(1 << 20);
    QTest::newRow("a line longer than the buffer") << 3 << 70000 << qint64(1 << 20);
    QTest::newRow("new files begun inside the batch") << 200 << 100 << qint64(4096);
}

// Lines held by a batch, and one written meanwhile by a thread outside it, reach the files whole
// and in the order they were logged, within the file bound.
void tst_Logger::batchKeepsLinesInOrder()
{
    QFETCH(int, count);
    QFETCH(int, length);
    QFETCH(qint64, maxFileBytes);
    QTemporaryDir home;
    UseHome(home);
    Logger& logger = Logger::Instance();
    QVERIFY(logger.Init(2, "data"));
    logger.SetLimits(maxFileBytes, 1LL << 30);
    const QString folder = QFileInfo(logger.MainLogPath()).absolutePath();
    const auto text = [length](int _n) { return QString::number(_n).leftJustified(length, QChar('.')); };
    QByteArray expected;
    {
        Logger::Batch batch;
        for (int i = 0; i < count; ++i) {
            if (i == count / 2) {
                std::thread([&logger, &text] { logger.Write(QtCriticalMsg, text(-1)); }).join();
                expected += text(-1).toUtf8() + '\n';
            }
            logger.Write(QtCriticalMsg, text(i));
            expected += text(i).toUtf8() + '\n';
        }
        if (count * length < 1000) {
            QFile file(logger.MainLogPath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(!file.readAll().contains(text(count - 1).toUtf8()));
        }
    }
    QFileInfoList parts = QDir(folder).entryInfoList({"*.log"}, QDir::Files);
    std::sort(parts.begin(), parts.end(), [](const QFileInfo& _a, const QFileInfo& _b) {
        const auto part = [](const QFileInfo& _info) {
            return _info.completeBaseName().section('-', 6).toInt();
        };
        return part(_a) < part(_b);
    });
    QByteArray written;
    for (const QFileInfo& info : parts) {
        if (info.fileName().endsWith("_js.log"))
            continue;
        if (length < maxFileBytes)
            QVERIFY2(info.size() <= maxFileBytes, qPrintable(info.fileName()));
        QFile file(info.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                written += line.mid(line.indexOf('\t') + 1).chopped(1) + '\n';
    }
    QCOMPARE(written, expected);
}

Q_DECLARE_METATYPE(StandardError::Kind)

void tst_Logger::repeatsLinesOnStandardError_data()
{
    QTest::addColumn<StandardError::Kind>("kind");
    QTest::addColumn<bool>("journalAll");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("echo"); // a pattern of what standard error receives
    const QString time = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
    QTest::newRow("terminal") << StandardError::Kind::Terminal << false << int(QtWarningMsg)
                              << QByteArray("qorv.core") << "\\[W\\]:" + time + "\techo me\n";
    QTest::newRow("terminal debug") << StandardError::Kind::Terminal << false << int(QtDebugMsg)
                                    << QByteArray("qorv.core") << "\\[D\\]:" + time + "\techo me\n";
    // The journal stamps lines itself and reads the priority from "<n>".
    QTest::newRow("journal service warning") << StandardError::Kind::Journal << false << int(QtWarningMsg)
                                             << QByteArray("qorv.service") << "<4>\\[W\\]:echo me\n";
    QTest::newRow("journal critical") << StandardError::Kind::Journal << false << int(QtCriticalMsg)
                                      << QByteArray("qorv.core") << "<2>\\[C\\]:echo me\n";
    // Envelopes and what the abilities log of them stay in the private files.
    QTest::newRow("journal core warning")
        << StandardError::Kind::Journal << false << int(QtWarningMsg) << QByteArray("qorv.core") << "";
    QTest::newRow("journal debug") << StandardError::Kind::Journal << false << int(QtDebugMsg)
                                   << QByteArray("qorv.service") << "";
    QTest::newRow("journal Qt's own warning")
        << StandardError::Kind::Journal << false << int(QtWarningMsg) << QByteArray("default") << "";
    QTest::newRow("journal, everything asked") << StandardError::Kind::Journal << true << int(QtDebugMsg)
                                               << QByteArray("qorv.core") << "<7>\\[D\\]:echo me\n";
    QTest::newRow("elsewhere") << StandardError::Kind::Other << true << int(QtWarningMsg)
                               << QByteArray("qorv.service") << "";
}

void tst_Logger::repeatsLinesOnStandardError()
{
    QFETCH(StandardError::Kind, kind);
    QFETCH(bool, journalAll);
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, echo);
    QTemporaryDir home;
    UseHome(home);
    Logger& logger = Logger::Instance();
    QVERIFY(logger.Init(0, "echo"));
    QTemporaryFile capture;
    QVERIFY(capture.open());
    {
        RedirectedError redirect(capture.handle());
        logger.SetEcho(kind, journalAll);
        logger.Write(static_cast<QtMsgType>(type), "echo me", category.constData());
        logger.SetEcho(StandardError::Kind::Other);
    }
    QVERIFY(capture.seek(0));
    const QString echoed = QString::fromUtf8(capture.readAll());
    QVERIFY2(QRegularExpression("^" + echo + "$").match(echoed).hasMatch(), qPrintable(echoed));
    // The file keeps its own form whatever standard error gets.
    QFile file(logger.MainLogPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(QRegularExpression("^\\[.\\]:" + QString("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d") +
                               "\techo me\r\n$")
                .match(QString::fromUtf8(file.readAll()))
                .hasMatch());
}

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_Logger.moc"
