// The developer window offscreen: what each button injects into the hub, the capped panes,
// the fixed-drive filter and closing it ending the application.
#include "core/BusinessProcessor.h"
#include "core/Config.h"
#include "core/MessageService.h"
#include "debug/FixedDrives.h"
#include "debug/MainWindow.h"
#include "tests/support/HubCapture.h"
#include "tests/support/TestEnvelope.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QPushButton>
#include <QUuid>
#include <QtTest>

namespace {

// Stands in for the abilities: offers every command the buttons send, so each envelope reaches
// it as the ability manager would receive it.
const QString kFake = QStringLiteral("fake_abilities");

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void buttonsInjectTheirEnvelopes_data();
    void buttonsInjectTheirEnvelopes();
    void panesKeepTheLast1024Lines_data();
    void panesKeepTheLast1024Lines();
    void tracedLinesAreCut();
    void fixedDrives_data();
    void fixedDrives();
    void closingEndsTheApplication();
};

void tst_MainWindow::initTestCase()
{
    JsonCommand login =
        makeLogin(kFake, {"snap_shot_area", "snap_shot_fullscreen", "query_disk_space", "query_hardware",
                          "query_cpu", "query_memory", "query_top_process", "command_show_tips_view"});
    MessageService::Instance().OnMessageReceived(kFake.toUtf8(), login.ToString());
}

void tst_MainWindow::buttonsInjectTheirEnvelopes_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("snapscreen") << "btn_snapscreen" << QStringList{"snap_shot_area"};
    QTest::newRow("snapfullscreen") << "btn_snapfullscreen" << QStringList{"snap_shot_fullscreen"};
    QTest::newRow("GeSystemUsage") << "btn_system_usage"
                                   << QStringList{"query_hardware", "query_cpu", "query_memory",
                                                  "query_top_process"};
    QStringList disks;
    for (int i = 0; i < FixedDrives::Keys().size(); ++i)
        disks << "query_disk_space";
    QTest::newRow("GetDiskSpaces") << "btn_get_disk_spaces" << disks;
    QTest::newRow("testCPUtips") << "btn_testCPUTips" << QStringList{"command_show_tips_view"};
}

void tst_MainWindow::buttonsInjectTheirEnvelopes()
{
    QFETCH(QString, button);
    QFETCH(QStringList, commands);
    HubCapture hub;
    MainWindow window;
    QPushButton* pushButton = window.findChild<QPushButton*>(button);
    QVERIFY(pushButton);
    QTest::mouseClick(pushButton, Qt::LeftButton);
    const QList<JsonCommand> delivered = Envelopes(hub.Take(kFake));

    QStringList sentCommands;
    QSet<QString> guids;
    for (const JsonCommand& envelope : delivered) {
        sentCommands << envelope.command;
        guids << envelope.guid;
        QCOMPARE(envelope.type, QStringLiteral("command"));
        QCOMPARE(envelope.from, QStringLiteral("testClient1"));
        QVERIFY(!QUuid::fromString(envelope.guid).isNull());
    }
    QCOMPARE(sentCommands, commands);
    QCOMPARE(guids.size(), commands.size());
    for (int i = 0; i < delivered.size(); ++i) {
        const JsonCommand& envelope = delivered[i];
        if (envelope.command == QLatin1String("query_disk_space"))
            QCOMPARE(envelope.data, QStringLiteral("{\"key\":\"%1\"}").arg(FixedDrives::Keys()[i]));
        else if (envelope.command == QLatin1String("command_show_tips_view")) {
            QCOMPARE(envelope.to, QStringList{QStringLiteral("message_service")});
            const QJsonObject tips = QJsonDocument::fromJson(envelope.data.toUtf8()).object();
            QCOMPARE(tips.value("width").toInt(), 336);
            QCOMPARE(tips.value("main_tips_data").toObject().value("obj_name").toString(), "lblMainTips");
            QVERIFY(tips.value("view_tips_qss_path").toString().endsWith("/qss/qss/live_status_tips.qss"));
        } else
            QCOMPARE(envelope.data, QString());
    }
}

void tst_MainWindow::panesKeepTheLast1024Lines_data()
{
    QTest::addColumn<QString>("pane");
    QTest::newRow("send") << "txt_send";
    QTest::newRow("recv") << "txt_recv";
}

void tst_MainWindow::panesKeepTheLast1024Lines()
{
    QFETCH(QString, pane);
    MainWindow window;
    for (int i = 0; i < 1100; ++i) {
        const QString line = QStringLiteral("line %1").arg(i);
        pane == QLatin1String("txt_send") ? window.SlotSendMsg(line) : window.SlotRecvMsg(line);
    }
    const QPlainTextEdit* edit = window.findChild<QPlainTextEdit*>(pane);
    QVERIFY(edit);
    QCOMPARE(edit->blockCount(), 1024);
    QCOMPARE(edit->document()->firstBlock().text(), QStringLiteral("line 76"));
    QCOMPARE(edit->document()->lastBlock().text(), QStringLiteral("line 1099"));
}

void tst_MainWindow::tracedLinesAreCut()
{
    // Debug mode on, as the service reads it, and both panes fed as main() connects them.
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[debug]\ndebugmode=1\n");
    ini.close();
    Config::Instance().Load(ini.fileName());
    QVERIFY(Config::Instance().IsDebugMode());
    MainWindow window;
    BusinessProcessor& processor = BusinessProcessor::Instance();
    connect(&processor, &BusinessProcessor::SignSendMsg, &window, &MainWindow::SlotSendMsg);
    connect(&processor, &BusinessProcessor::SignRecvMsg, &window, &MainWindow::SlotRecvMsg);

    // A client's command name of 256 KiB: in, and out again in the hub's answer.
    const QString name(256 * 1024, QLatin1Char('c'));
    MessageService::Instance().OnMessageReceived("tracer", makeCommand("command", name).ToString());
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[debug]\ndebugmode=0\n");
    ini.close();
    Config::Instance().Load(ini.fileName());
    processor.disconnect(&window);
    for (const char* pane : {"txt_recv", "txt_send"}) {
        const QPlainTextEdit* edit = window.findChild<QPlainTextEdit*>(pane);
        QVERIFY(edit);
        const QString line = edit->document()->lastBlock().text();
        QVERIFY2(line.startsWith(QStringLiteral("type:command")), qPrintable(line.left(80)));
        QVERIFY2(line.size() <= BusinessProcessor::kMaxTraceChars + 40,
                 qPrintable(QString::number(line.size())));
        QVERIFY2(QRegularExpression(QStringLiteral("c \\[cut, \\d+ characters\\]$")).match(line).hasMatch(),
                 qPrintable(line.right(80)));
    }
}

void tst_MainWindow::fixedDrives_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("fixed");
    QTest::newRow("ext4 disk") << QByteArray("/dev/sda1") << QByteArray("ext4") << true;
    QTest::newRow("mapped xfs") << QByteArray("/dev/mapper/vg-home") << QByteArray("xfs") << true;
    QTest::newRow("tmpfs") << QByteArray("tmpfs") << QByteArray("tmpfs") << false;
    QTest::newRow("proc") << QByteArray("proc") << QByteArray("proc") << false;
    QTest::newRow("overlay") << QByteArray("overlay") << QByteArray("overlay") << false;
    QTest::newRow("nfs") << QByteArray("server:/export") << QByteArray("nfs4") << false;
    QTest::newRow("snap image") << QByteArray("/dev/loop3") << QByteArray("squashfs") << false;
    QTest::newRow("sshfs") << QByteArray("/dev/fuse") << QByteArray("fuse.sshfs") << false;
}

void tst_MainWindow::fixedDrives()
{
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, type);
    QFETCH(bool, fixed);
    QCOMPARE(FixedDrives::IsFixed(device, type), fixed);
}

void tst_MainWindow::closingEndsTheApplication()
{
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, &QWidget::close);
    // Ends the loop with another code if closing did not.
    QTimer::singleShot(10000, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
