#include "snap/ToolBar.h"

#include "ui_ToolBar.h"

#include <QCoreApplication>
#include <QKeyEvent>

ToolBar::ToolBar(QWidget* _pParent) : QWidget(_pParent), m_pUi(std::make_unique<Ui::ToolBar>())
{
    m_pUi->setupUi(this);
    setWindowFlags(windowFlags() | Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
}

ToolBar::~ToolBar() = default;

void ToolBar::on_btnCancel_clicked()
{
    emit signBtnCancelClicked();
}

void ToolBar::on_btnOK_clicked()
{
    emit signBtnOKClicked();
}

void ToolBar::keyPressEvent(QKeyEvent* _pEvent)
{
    if (!parentWidget()) {
        _pEvent->ignore();
        return;
    }
    QKeyEvent copy(_pEvent->type(), _pEvent->key(), _pEvent->modifiers(), _pEvent->text(),
                   _pEvent->isAutoRepeat(), static_cast<ushort>(_pEvent->count()));
    QCoreApplication::sendEvent(parentWidget(), &copy);
}
