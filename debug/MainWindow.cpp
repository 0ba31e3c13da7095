#include "debug/MainWindow.h"

#include "core/AppPaths.h"
#include "core/Config.h"
#include "core/JsonCommand.h"
#include "core/Logger.h"
#include "core/MessageService.h"
#include "debug/FixedDrives.h"
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

QJsonObject Obj(const char* _szName, int _nWidth, int _nHeight, int _nMarginTop = 0, int _nFontSize = 0,
                const QString& _qstrShowName = QString())
{
    return QJsonObject{
        {"obj_name", QLatin1String(_szName)}, {"width", _nWidth},        {"height", _nHeight},
        {"margin_top", _nMarginTop},          {"font_size", _nFontSize}, {"show_name", _qstrShowName}};
}

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
    // "qss" beside the executable in a build, the share folder when installed.
    QString qss = AppPaths::QssFolder();
    if (qss.isEmpty())
        qss = QCoreApplication::applicationDirPath() + QStringLiteral("/qss");
    QJsonObject view = Obj("viewTips", 0, 0);
    view.insert(QStringLiteral("border_radius"), 12);
    const QJsonObject tips{
        {"width", 336},
        {"height", 144},
        {"show_time", 5},
        {"title_show", true},
        {"logo_show", true},
        {"main_tips", true},
        {"frame_detail", true},
        {"label_detail", true},
        {"strong_stips", false},
        {"view_data", view},
        {"title_data", Obj("lblTitleImage", 93, 28)},
        {"logo_data", Obj("lblWarningImage", 40, 40, 12)},
        {"main_tips_data", Obj("lblMainTips", 260, 20, 3, 14, tr("CPU_TOO_HIGH"))},
        {"frame_detail_data", Obj("frmDetail", 320, 56, 3)},
        {"label_detail_data", Obj("lblDetail", 264, 40, 3, 12, tr("CPU_TOO_HIGH_DETAIL"))},
        {"view_tips_qss_path", qss + QStringLiteral("/qss/live_status_tips.qss")},
        {"view_tips_image_path", qss + QStringLiteral("/image")},
        {"view_tips_image_replace", QStringLiteral("%path%")},
    };
    return Compact(tips);
}

void MainWindow::closeEvent(QCloseEvent* _pEvent)
{
    _pEvent->accept();
    QCoreApplication::quit();
}
