#pragma once

#include <QMainWindow>
#include <QString>

#include <memory>

namespace Ui {
class MainWindow;
}

// The developer window: mirrors the hub's traffic and injects test commands as if the client
// "testClient1" had sent them. Closing it ends the service.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* _pParent = nullptr);
    ~MainWindow() override;

    static const QString kTestClient;
    // The tips window description the CPU tips button asks for.
    static QString CpuTipsDescription();

public slots:
    void SlotSendMsg(QString msg);
    void SlotRecvMsg(QString msg);

private slots:
    void on_btn_snapscreen_clicked();
    void on_btn_snapfullscreen_clicked();
    void on_actionopen_config_triggered();
    void on_actionopen_log_folder_triggered();
    void on_btn_get_disk_spaces_clicked();
    void on_btn_system_usage_clicked();
    void on_btn_testCPUTips_clicked();

protected:
    void closeEvent(QCloseEvent* _pEvent) override;

private:
    static void Inject(const QString& _qstrCommand, const QString& _qstrData = QString(),
                       const QStringList& _listTo = {});

    std::unique_ptr<Ui::MainWindow> m_pUi;
};
