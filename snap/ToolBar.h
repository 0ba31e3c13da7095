#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class ToolBar;
}

// The small bar that follows the selection: a hint, a cancel and an OK button.
class ToolBar : public QWidget
{
    Q_OBJECT
public:
    explicit ToolBar(QWidget* _pParent = nullptr);
    ~ToolBar() override;

signals:
    void signBtnCancelClicked();
    void signBtnOKClicked();

private slots:
    void on_btnCancel_clicked();
    void on_btnOK_clicked();

protected:
    // Esc must reach the overlay while the bar has the focus.
    void keyPressEvent(QKeyEvent* _pEvent) override;

private:
    std::unique_ptr<Ui::ToolBar> m_pUi;
};
