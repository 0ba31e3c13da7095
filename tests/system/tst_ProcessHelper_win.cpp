// Process test, tree kill and start on Windows, on copies of the system's cmd and ping under names
// no other process has: a parent (cmd) that runs a child (ping) that waits.
#include "system/ProcessHelper.h"
#include "system/ProcessSnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>
#include <vector>

class tst_ProcessHelper_win : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void snapshotKnowsThisProcess();
    void namesMatchExactlyIgnoringCase_data();
    void namesMatchExactlyIgnoringCase();
    void killEndsTheWholeTreeAndNothingElse();
    void wildcardsAndPathsKillNothing_data();
    void wildcardsAndPathsKillNothing();
    void killSparesThisProcess();
    void shellOpenHandsDocumentToItsProgram();
    void shellOpenOfNothingFails_data();
    void shellOpenOfNothingFails();

private:
    // A copy of a system program under "<prefix>_<random>.exe".
    QString Copy(const QString& _qstrProgram, const QString& _qstrPrefix);
    // Starts a copy of cmd that runs a copy of ping; their names.
    QStringList StartTree();
    QProcess* Start(const QString& _qstrProgram, const QStringList& _listArgs,
                    const QString& _qstrNative = {});

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_vecProcesses;
    QStringList m_listNames;
    QString m_qstrBystander;
};

QString tst_ProcessHelper_win::Copy(const QString& _qstrProgram, const QString& _qstrPrefix)
{
    const QString name = _qstrPrefix + QLatin1Char('_') +
                         QUuid::createUuid().toString(QUuid::Id128).left(10) + QStringLiteral(".exe");
    if (!QFile::copy(QStandardPaths::findExecutable(_qstrProgram), m_dir.filePath(name)))
        return QString();
    m_listNames.append(name);
    return name;
}

QProcess* tst_ProcessHelper_win::Start(const QString& _qstrProgram, const QStringList& _listArgs,
                                       const QString& _qstrNative)
{
    m_vecProcesses.push_back(std::make_unique<QProcess>());
    QProcess* process = m_vecProcesses.back().get();
    process->setProgram(m_dir.filePath(_qstrProgram));
    process->setArguments(_listArgs);
    process->setNativeArguments(_qstrNative);
    process->start();
    return process->waitForStarted(10000) ? process : nullptr;
}

QStringList tst_ProcessHelper_win::StartTree()
{
    const QString parent = Copy(QStringLiteral("cmd"), QStringLiteral("qorv_parent"));
    const QString child = Copy(QStringLiteral("ping"), QStringLiteral("qorv_child"));
    if (parent.isEmpty() || child.isEmpty())
        return {};
    // cmd reads its own command line: the child's path quoted, as cmd wants it.
    const QString line = QStringLiteral("/c \"\"%1\" -n 300 127.0.0.1 >nul\"")
                             .arg(QDir::toNativeSeparators(m_dir.filePath(child)));
    if (!Start(parent, {}, line) ||
        !QTest::qWaitFor([&] { return ProcessHelper::CheckProcessRunning(child); }, 10000))
        return {};
    return {parent, child};
}

void tst_ProcessHelper_win::initTestCase()
{
    m_qstrBystander = Copy(QStringLiteral("ping"), QStringLiteral("qorv_bystander"));
    QVERIFY(
        Start(m_qstrBystander, {QStringLiteral("-n"), QStringLiteral("300"), QStringLiteral("127.0.0.1")}));
    QTRY_VERIFY_WITH_TIMEOUT(ProcessHelper::CheckProcessRunning(m_qstrBystander), 10000);
}

void tst_ProcessHelper_win::cleanupTestCase()
{
    for (auto& process : m_vecProcesses) {
        process->kill();
        process->waitForFinished(5000);
    }
    for (const QString& name : m_listNames)
        ProcessHelper::KillProcess(name);
}

void tst_ProcessHelper_win::snapshotKnowsThisProcess()
{
    std::vector<ProcessRecord> processes;
    QVERIFY(ProcessSnapshot::Take(ProcessSnapshot::kUsage, processes));
    const auto self = std::find_if(processes.begin(), processes.end(), [](const ProcessRecord& _record) {
        return _record.pid == QCoreApplication::applicationPid();
    });
    QVERIFY(self != processes.end());
    QCOMPARE(self->name.toLower(), QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLower());
    QVERIFY(self->workingSetBytes > 1024 * 1024);
    QVERIFY(self->startTime > 0);
    QVERIFY(!self->exited);
    QVERIFY(std::is_sorted(processes.begin(), processes.end(),
                           [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; }));
}

void tst_ProcessHelper_win::namesMatchExactlyIgnoringCase_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("running");
    QTest::newRow("exact") << "exact" << true;
    QTest::newRow("upper case") << "upper" << true;
    QTest::newRow("without .exe") << "stem" << false;
    QTest::newRow("longer") << "longer" << false;
    QTest::newRow("star") << "*" << false;
    QTest::newRow("prefix and star") << "prefix*" << false;
    QTest::newRow("question mark") << "question" << false;
    QTest::newRow("full path") << "path" << false;
    QTest::newRow("quoted") << "quoted" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_ProcessHelper_win::namesMatchExactlyIgnoringCase()
{
    QFETCH(QString, form);
    QFETCH(bool, running);
    const QString& n = m_qstrBystander;
    QString name = form;
    if (form == QLatin1String("exact"))
        name = n;
    else if (form == QLatin1String("upper"))
        name = n.toUpper();
    else if (form == QLatin1String("stem"))
        name = QFileInfo(n).completeBaseName();
    else if (form == QLatin1String("longer"))
        name = n + QLatin1Char('x');
    else if (form == QLatin1String("prefix*"))
        name = n.left(8) + QLatin1Char('*');
    else if (form == QLatin1String("question"))
        name = n.left(n.size() - 1) + QLatin1Char('?');
    else if (form == QLatin1String("path"))
        name = QDir::toNativeSeparators(m_dir.filePath(n));
    else if (form == QLatin1String("quoted"))
        name = QLatin1Char('"') + n + QLatin1Char('"');
    QCOMPARE(ProcessHelper::CheckProcessRunning(name), running);
}

void tst_ProcessHelper_win::killEndsTheWholeTreeAndNothingElse()
{
    const QStringList tree = StartTree();
    QCOMPARE(tree.size(), 2);
    // By another letter case, as a user types it.
    ProcessHelper::KillProcess(tree.at(0).toUpper());
    QCOMPARE(ProcessHelper::CheckProcessesRunning(tree), (std::vector<bool>{false, false}));
    QVERIFY(ProcessHelper::CheckProcessRunning(m_qstrBystander));
}

void tst_ProcessHelper_win::wildcardsAndPathsKillNothing_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("star") << "*";
    QTest::newRow("prefix and star") << "prefix*";
    QTest::newRow("full path") << "path";
    QTest::newRow("quoted") << "quoted";
    QTest::newRow("empty") << "";
}

void tst_ProcessHelper_win::wildcardsAndPathsKillNothing()
{
    QFETCH(QString, form);
    QString name = form;
    if (form == QLatin1String("prefix*"))
        name = m_qstrBystander.left(8) + QLatin1Char('*');
    else if (form == QLatin1String("path"))
        name = QDir::toNativeSeparators(m_dir.filePath(m_qstrBystander));
    else if (form == QLatin1String("quoted"))
        name = QLatin1Char('"') + m_qstrBystander + QLatin1Char('"');
    ProcessHelper::KillProcess(name);
    QVERIFY(ProcessHelper::CheckProcessRunning(m_qstrBystander));
}

void tst_ProcessHelper_win::killSparesThisProcess()
{
    ProcessHelper::KillProcess(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QVERIFY(
        ProcessHelper::CheckProcessRunning(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
}

void tst_ProcessHelper_win::shellOpenHandsDocumentToItsProgram()
{
    // A batch file is no program: the shell hands it to cmd, which runs the waiting copy.
    const QString waiter = Copy(QStringLiteral("ping"), QStringLiteral("qorv_opened"));
    const QString script = m_dir.filePath(QStringLiteral("open me.bat"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("\"" + QFile::encodeName(QDir::toNativeSeparators(m_dir.filePath(waiter))) +
               "\" -n 300 127.0.0.1\r\n");
    file.close();
    QVERIFY(ProcessHelper::ShellOpen(script));
    QTRY_VERIFY_WITH_TIMEOUT(ProcessHelper::CheckProcessRunning(waiter), 10000);
    ProcessHelper::KillProcess(waiter);
    QVERIFY(!ProcessHelper::CheckProcessRunning(waiter));
}

void tst_ProcessHelper_win::shellOpenOfNothingFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("C:\\no\\such\\program.exe");
    QTest::newRow("unknown bare name") << QStringLiteral("qorv-no-such-program");
}

void tst_ProcessHelper_win::shellOpenOfNothingFails()
{
    QFETCH(QString, path);
    QVERIFY(!ProcessHelper::ShellOpen(path));
}

QTEST_GUILESS_MAIN(tst_ProcessHelper_win)
#include "tst_ProcessHelper_win.moc"
