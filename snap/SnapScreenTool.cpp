#include "snap/SnapScreenTool.h"
#include "core/LogCategories.h"

#include "snap/CaptureResult.h"
#include "snap/ToolBar.h"

#include <QCoreApplication>
#include <QDebug>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

SnapScreenTool::SnapScreenTool(bool _blFullScreenWindow) : m_blFullScreenWindow(_blFullScreenWindow)
{
    setObjectName(QStringLiteral("SnapScreenTool"));
    resize(800, 600);
    setWindowTitle(QCoreApplication::translate("SnapScreenTool", "SnapScreenTool"));
    QMetaObject::connectSlotsByName(this);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
}

SnapScreenTool::~SnapScreenTool() = default;

void SnapScreenTool::Select(const QPixmap& _picture, double _dPixelRatio, const QRect& _rectScreen,
                            ChoiceCallback _callback)
{
    Finish(QImage(), CaptureResult::kSuperseded);
    m_funcCallback = std::move(_callback);
    m_pixScreen = _picture;
    m_dPixelRatio = _dPixelRatio;
    setFixedSize(_rectScreen.size());
    move(_rectScreen.topLeft());
    m_geometry.Reset(size(), false);
    qCDebug(lcSnap) << "screen size:" << width() << "," << height();
    ShowOverlay();
    CreateToolBar();
}

void SnapScreenTool::Abandon(const QString& _qstrReason)
{
    CloseOverlay();
    Finish(QImage(), _qstrReason);
}

void SnapScreenTool::ShowOverlay()
{
    setFocusPolicy(Qt::StrongFocus);
    setFocus();
    setMouseTracking(true);
    // A Wayland compositor places windows itself; a full-screen one covers the screen wherever.
    if (m_blFullScreenWindow)
        showFullScreen();
    else
        show();
    activateWindow();
    raise();
    update();
}

void SnapScreenTool::CreateToolBar()
{
    if (m_pToolBar)
        m_pToolBar->deleteLater();
    m_pToolBar = new ToolBar(this);
    // A compositor places a window of its own where it likes (sway: centred); inside the
    // full-screen overlay the bar needs no placement by anyone else.
    if (m_blFullScreenWindow)
        m_pToolBar->setWindowFlags(Qt::Widget);
    connect(m_pToolBar, &ToolBar::signBtnCancelClicked, this, &SnapScreenTool::slot_on_btnCancel_clicked);
    connect(m_pToolBar, &ToolBar::signBtnOKClicked, this, &SnapScreenTool::slot_on_btnOK_clicked);
    PlaceToolBar();
    m_pToolBar->show();
}

void SnapScreenTool::PlaceToolBar()
{
    if (!m_pToolBar)
        return;
    const QPoint position = m_geometry.ToolBarPosition(m_pToolBar->size());
    m_pToolBar->move(m_pToolBar->isWindow() ? mapToGlobal(position) : position);
}

void SnapScreenTool::CloseOverlay()
{
    // Windows leave their last pixels on the screen until those beneath paint again, which a busy
    // program does late, and a capture made meanwhile would hold them. So the toolbar goes first
    // and the overlay's last picture is the plain screen it froze: the unmap comes after that
    // picture on the same display connection, so whatever stays behind is the screen as it was.
    if (m_pToolBar) {
        m_pToolBar->hide();
        m_pToolBar->deleteLater();
    }
    m_pToolBar = nullptr;
    if (isVisible()) {
        m_blLeaving = true;
        repaint();
        m_blLeaving = false;
    }
    hide();
    setMouseTracking(false);
    m_geometry.Release();
    m_pixScreen = QPixmap();
}

void SnapScreenTool::Cancel(const QString& _qstrMessage)
{
    qCDebug(lcSnap) << "OnCancel sending:";
    Abandon(_qstrMessage);
}

void SnapScreenTool::Finish(const QImage& _image, const QString& _qstrFailure)
{
    ChoiceCallback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    if (callback)
        callback(_image, _qstrFailure);
}

void SnapScreenTool::slot_on_btnCancel_clicked()
{
    qCDebug(lcSnap) << "SnapScreenTool::btnCancel occured";
    Cancel(CaptureResult::kCancelByButton);
}

void SnapScreenTool::slot_on_btnOK_clicked()
{
    qCDebug(lcSnap) << "SnapScreenTool::btnok occured";
    const QRect crop = m_geometry.CropRect(m_dPixelRatio, false).intersected(m_pixScreen.rect());
    // The whole grab needs no copy of its 8 MB.
    const QImage chosen = crop.isEmpty()               ? QImage()
                          : crop == m_pixScreen.rect() ? m_pixScreen.toImage()
                                                       : m_pixScreen.copy(crop).toImage();
    CloseOverlay();
    Finish(chosen, chosen.isNull() ? CaptureResult::kEmptyArea : QString());
}

void SnapScreenTool::mousePressEvent(QMouseEvent* _pEvent)
{
    // Outside the log statement: a disabled category skips the whole statement, press included.
    const auto hit = m_geometry.Press(_pEvent->pos());
    qCDebug(lcSnap) << "mousePressEvent hittest:" << hit;
}

void SnapScreenTool::mouseReleaseEvent(QMouseEvent*)
{
    m_geometry.Release();
    PlaceToolBar();
    qCDebug(lcSnap) << "mouseReleaseEvent occured";
}

void SnapScreenTool::mouseMoveEvent(QMouseEvent* _pEvent)
{
    if (!m_geometry.Move(_pEvent->pos())) {
        const SelectionGeometry::HitState hit =
            SelectionGeometry::HitTest(m_geometry.Selection(), _pEvent->pos());
        qCDebug(lcSnap) << "mouseMoveEvent hittest:" << hit;
        setCursor(SelectionGeometry::CursorFor(hit));
        return;
    }
    setCursor(SelectionGeometry::CursorFor(m_geometry.State()));
    update();
    PlaceToolBar();
}

void SnapScreenTool::keyPressEvent(QKeyEvent* _pEvent)
{
    if (_pEvent->key() == Qt::Key_Escape) {
        qCDebug(lcSnap) << "Key_Escape occured, exit";
        _pEvent->accept();
        Cancel(CaptureResult::kCancelByEsc);
    }
    QWidget::keyPressEvent(_pEvent);
}

void SnapScreenTool::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(rect(), m_pixScreen);
    if (m_blLeaving)
        return;
    const QRect sel = m_geometry.Selection();
    const int sw = m_geometry.ScreenSize().width();
    const int sh = m_geometry.ScreenSize().height();
    const QColor dim(0, 0, 0, 200);
    painter.fillRect(QRect(0, 0, sel.x(), sh), dim);
    painter.fillRect(QRect(sel.x(), 0, sel.width(), sel.y()), dim);
    painter.fillRect(QRect(sel.x(), sel.y() + sel.height(), sel.width(), sh - sel.y() - sel.height()), dim);
    painter.fillRect(QRect(sel.x() + sel.width(), 0, sw - sel.x() - sel.width(), sh), dim);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(64, 159, 255), 2, Qt::SolidLine));
    painter.drawRect(sel);
    painter.setBrush(Qt::white);
    for (const QPoint& handle : SelectionGeometry::HandlePoints(sel))
        painter.drawEllipse(handle, SelectionGeometry::kHandleRadius, SelectionGeometry::kHandleRadius);
}

void SnapScreenTool::showEvent(QShowEvent* _pEvent)
{
    qCDebug(lcSnap) << "showEvent occured";
    activateWindow();
    raise();
    QWidget::showEvent(_pEvent);
}
