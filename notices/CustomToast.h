#pragma once

#include "notices/CustomToastBody.h"

#include <QPixmap>
#include <QTimer>
#include <QWidget>

// The single toast window: a white rounded box with the warning icon and a message, placed at one
// of nine spots of the primary screen, closed by its timer or by a click.
class CustomToast : public QWidget
{
    Q_OBJECT
public:
    explicit CustomToast(QWidget* _pParent = nullptr);

    const CustomToastBody& Body() const { return m_body; }
    void SetBody(const CustomToastBody& _body) { m_body = _body; }
    // Sizes and places the toast for the primary screen, shows it and (re)starts its timer.
    void ShowToast();
    bool IsTimerActive() const { return m_timer.isActive(); }
    int TimerInterval() const { return m_timer.interval(); }

protected:
    void mousePressEvent(QMouseEvent* _pEvent) override;
    void paintEvent(QPaintEvent* _pEvent) override;
    void closeEvent(QCloseEvent* _pEvent) override;

private:
    CustomToastBody m_body;
    QTimer m_timer;
    QPixmap m_pixmapIcon;
};
