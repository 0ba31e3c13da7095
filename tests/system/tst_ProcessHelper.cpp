// Process test, tree kill and start, on real child processes with names no other process has.
#include "system/ProcessHelper.h"
#include "tests/system/ProbeChildren.h"

#include <QCoreApplication>
#include <QDir>
#include <QtTest>

namespace {

qint64 ParentOf(qint64 _nPid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(_nPid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

} // namespace

class tst_ProcessHelper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void namesMatchExactlyIgnoringCase_data();
    void namesMatchExactlyIgnoringCase();
    void scriptCountsByItsOwnName();
    void killEndsTheWholeTreeAndNothingElse();
    void wildcardsAndPathsKillNothing_data();
    void wildcardsAndPathsKillNothing();
    void killSparesTheCallerAndItsAncestors();
    void killSparesThisProcess();
    void shellOpenStartsProgramDetached();
    void shellOpenOfNothingFails_data();
    void shellOpenOfNothingFails();

private:
    std::unique_ptr<ProbeChildren> m_pChildren;
    QString m_qstrName;
    qint64 m_nPid = 0;
};

void tst_ProcessHelper::initTestCase()
{
    m_pChildren = std::make_unique<ProbeChildren>();
    const QString path = m_pChildren->makeProgram();
    m_qstrName = QFileInfo(path).fileName();
    const QList<qint64> pids = m_pChildren->start(path, {QStringLiteral("sleep")});
    QVERIFY(!pids.isEmpty());
    m_nPid = pids.first();
}

void tst_ProcessHelper::cleanupTestCase()
{
    m_pChildren.reset();
}

void tst_ProcessHelper::namesMatchExactlyIgnoringCase_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("running");
    QTest::newRow("exact") << "exact" << true;
    QTest::newRow("upper case") << "upper" << true;
    QTest::newRow("mixed case") << "mixed" << true;
    QTest::newRow("first 15 bytes only") << "comm" << false;
    QTest::newRow("longer") << "longer" << false;
    QTest::newRow("star") << "star" << false;
    QTest::newRow("prefix and star") << "prefix*" << false;
    QTest::newRow("question mark") << "question" << false;
    QTest::newRow("full path") << "path" << false;
    QTest::newRow("quoted") << "quoted" << false;
    QTest::newRow("empty") << "empty" << false;
}

void tst_ProcessHelper::namesMatchExactlyIgnoringCase()
{
    QFETCH(QString, form);
    QFETCH(bool, running);
    const QString& n = m_qstrName;
    QString name;
    if (form == QLatin1String("exact"))
        name = n;
    else if (form == QLatin1String("upper"))
        name = n.toUpper();
    else if (form == QLatin1String("mixed"))
        name = n.left(3).toUpper() + n.mid(3);
    else if (form == QLatin1String("comm"))
        name = n.left(15);
    else if (form == QLatin1String("longer"))
        name = n + QLatin1Char('x');
    else if (form == QLatin1String("star"))
        name = QStringLiteral("*");
    else if (form == QLatin1String("prefix*"))
        name = n.left(8) + QLatin1Char('*');
    else if (form == QLatin1String("question"))
        name = n.left(n.size() - 1) + QLatin1Char('?');
    else if (form == QLatin1String("path"))
        name = m_pChildren->dir() + QLatin1Char('/') + n;
    else if (form == QLatin1String("quoted"))
        name = QLatin1Char('"') + n + QLatin1Char('"');
    QCOMPARE(ProcessHelper::CheckProcessRunning(name), running);
}

void tst_ProcessHelper::scriptCountsByItsOwnName()
{
    ProbeChildren children;
    const QString script = children.makeScript();
    QVERIFY(!children.start(script, {}).isEmpty());
    const QString name = QFileInfo(script).fileName();
    QVERIFY(name.size() > 15);
    QVERIFY(ProcessHelper::CheckProcessRunning(name));
    QVERIFY(ProcessHelper::CheckProcessRunning(name.toUpper()));
}

void tst_ProcessHelper::killEndsTheWholeTreeAndNothingElse()
{
    ProbeChildren children;
    const QString parent = children.makeProgram(QStringLiteral("qorv_parent"));
    const QString child = children.makeProgram(QStringLiteral("qorv_child"));
    const QList<qint64> tree =
        children.start(parent, {QStringLiteral("spawn"), child, QStringLiteral("sleep")}, 2);
    QCOMPARE(tree.size(), 2);

    // By another letter case, as a user types it.
    ProcessHelper::KillProcess(QFileInfo(parent).fileName().toUpper());
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(tree.at(0)) && !isAlive(tree.at(1)), 5000);
    QVERIFY(isAlive(m_nPid));
    QVERIFY(!ProcessHelper::CheckProcessRunning(QFileInfo(child).fileName()));
}

void tst_ProcessHelper::wildcardsAndPathsKillNothing_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("star") << "*";
    QTest::newRow("prefix and star") << "prefix*";
    QTest::newRow("full path") << "path";
    QTest::newRow("quoted") << "quoted";
    QTest::newRow("empty") << "";
}

void tst_ProcessHelper::wildcardsAndPathsKillNothing()
{
    QFETCH(QString, form);
    QString name = form;
    if (form == QLatin1String("prefix*"))
        name = m_qstrName.left(8) + QLatin1Char('*');
    else if (form == QLatin1String("path"))
        name = m_pChildren->dir() + QLatin1Char('/') + m_qstrName;
    else if (form == QLatin1String("quoted"))
        name = QLatin1Char('"') + m_qstrName + QLatin1Char('"');
    ProcessHelper::KillProcess(name);
    QVERIFY(isAlive(m_nPid));
}

void tst_ProcessHelper::killSparesTheCallerAndItsAncestors()
{
    // The parent starts a second copy of itself that asks to kill their common name: the parent
    // is the caller's ancestor and the caller is itself, so both must live on.
    ProbeChildren children;
    const QString program = children.makeProgram(QStringLiteral("qorv_self"));
    const QString name = QFileInfo(program).fileName();
    QProcess parent;
    parent.start(program, {QStringLiteral("spawn"), program, QStringLiteral("kill"), name});
    QVERIFY(parent.waitForStarted(10000));
    QByteArray output;
    QVERIFY(QTest::qWaitFor(
        [&] {
            output += parent.readAllStandardOutput();
            return output.contains("survived") || parent.state() == QProcess::NotRunning;
        },
        20000));
    QVERIFY2(output.contains("survived"), output.constData());
    QCOMPARE(parent.state(), QProcess::Running);
    parent.kill();
    parent.waitForFinished(5000);
}

void tst_ProcessHelper::killSparesThisProcess()
{
    ProcessHelper::KillProcess(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QVERIFY(isAlive(QCoreApplication::applicationPid()));
}

void tst_ProcessHelper::shellOpenStartsProgramDetached()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_opened"));
    const QString name = QFileInfo(path).fileName();
    QVERIFY(ProcessHelper::ShellOpen(path));
    QTRY_VERIFY_WITH_TIMEOUT(pidsOfExecutable(name).size() == 1, 10000);
    QVERIFY(ProcessHelper::CheckProcessRunning(name));
    // Not our child: it outlives the service that started it.
    QVERIFY(ParentOf(pidsOfExecutable(name).first()) != QCoreApplication::applicationPid());
    ProcessHelper::KillProcess(name);
    QVERIFY(pidsOfExecutable(name).isEmpty());
}

void tst_ProcessHelper::shellOpenOfNothingFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("/no/such/program");
    QTest::newRow("unknown bare name") << QStringLiteral("qorv-no-such-program");
}

void tst_ProcessHelper::shellOpenOfNothingFails()
{
    QFETCH(QString, path);
    QVERIFY(!ProcessHelper::ShellOpen(path));
}

QTEST_GUILESS_MAIN(tst_ProcessHelper)
#include "tst_ProcessHelper.moc"
