#include "debug/MainWindow.h"

#include "core/Config.h"
#include "core/JsonCommand.h"
#include "core/Logger.h"
#include "core/MessageService.h"
#include "debug/FixedDrives.h"
#include "notices/ServiceTips.h"
#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

const QString MainWindow::kTestClient = QStringLiteral("testClient1");

namespace {

QString Compact(const QJsonObject& _obj)
{
    return QString::fromUtf8(QJsonDocument(_obj).toJson(QJsonDocument::Compact));
}

} // namespace

MainWindow::MainWindow(QWidget* _pParent) : QMainWindow(_pParent), m_pUi(std::make_unique<Ui::MainWindow>())
{
    m_pUi->setupUi(this);
    setAttribute(Qt::WA_QuitOnClose, false);
}

MainWindow::~MainWindow() = default;

void MainWindow::SlotSendMsg(QString msg)
{
    m_pUi->txt_send->appendPlainText(msg);
}

void MainWindow::SlotRecvMsg(QString msg)
{
    m_pUi->txt_recv->appendPlainText(msg);
}

void MainWindow::Inject(const QString& _qstrCommand, const QString& _qstrData, const QStringList& _listTo)
{
    JsonCommand command;
    command.type = Envelope::kCommand;
    command.guid = QUuid::createUuid().toString();
    command.from = kTestClient;
    command.to = _listTo;
    command.command = _qstrCommand;
    command.data = _qstrData;
    MessageService::Instance().OnMessageReceived(kTestClient.toUtf8(), command.ToString());
}

void MainWindow::on_btn_snapscreen_clicked()
{
    Inject(QStringLiteral("snap_shot_area"));
}

void MainWindow::on_btn_snapfullscreen_clicked()
{
    Inject(QStringLiteral("snap_shot_fullscreen"));
}

void MainWindow::on_actionopen_config_triggered()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(Config::Instance().GetConfigPath()));
}

void MainWindow::on_actionopen_log_folder_triggered()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(Logger::LogFolder(Config::Instance().GetFolder())));
}

void MainWindow::on_btn_get_disk_spaces_clicked()
{
    for (const QString& key : FixedDrives::Keys())
        Inject(QStringLiteral("query_disk_space"), Compact(QJsonObject{{"key", key}}));
}

void MainWindow::on_btn_system_usage_clicked()
{
    for (const char* command : {"query_hardware", "query_cpu", "query_memory", "query_top_process"})
        Inject(QLatin1String(command));
}

void MainWindow::on_btn_testCPUTips_clicked()
{
    Inject(QStringLiteral("command_show_tips_view"), CpuTipsDescription(), {Envelope::kServiceName});
}

QString MainWindow::CpuTipsDescription()
{
    ViewTipsData tips = ServiceTips::Styled(QStringLiteral("live_status_tips.qss"));
    tips.width = 336;
    tips.height = 144;
    tips.show_time = 5;
    tips.title_show = true;
    tips.logo_show = true;
    tips.main_tips = true;
    tips.frame_detail = true;
    tips.label_detail = true;
    tips.view_data = ObjData::Make("viewTips", 0, 0);
    tips.view_data.border_radius = 12;
    tips.title_data = ObjData::Make("lblTitleImage", 93, 28);
    tips.logo_data = ObjData::Make("lblWarningImage", 40, 40, 12);
    tips.main_tips_data = ObjData::Make("lblMainTips", 260, 20, 3, 14, tr("CPU_TOO_HIGH"));
    tips.frame_detail_data = ObjData::Make("frmDetail", 320, 56, 3);
    tips.label_detail_data = ObjData::Make("lblDetail", 264, 40, 3, 12, tr("CPU_TOO_HIGH_DETAIL"));
    return tips.ToString();
}

void MainWindow::closeEvent(QCloseEvent* _pEvent)
{
    _pEvent->accept();
    QCoreApplication::quit();
}
