#include "snap/SnapScreenTool.h"
#include "core/ServiceThread.h"
#include "snap/SnapEncoder.h"
#include "snap/ToolBar.h"

#include <QDebug>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <ctime>

const QString SnapScreenTool::kCancelByEsc = QStringLiteral("user cancel by press esc");
const QString SnapScreenTool::kCancelByButton = QStringLiteral("user cancel by button");
const QString SnapScreenTool::kSnapFailed = QStringLiteral("failed to snap screen");
const QString SnapScreenTool::kEmptyArea = QStringLiteral("empty area,abord");
const QString SnapScreenTool::kSuperseded = QStringLiteral("cancelled by a newer capture request");
const QString SnapScreenTool::kSaveFailed = QStringLiteral("failed to save snap file");

SnapScreenTool::SnapScreenTool()
{
    setObjectName(QStringLiteral("SnapScreenTool"));
    resize(800, 600);
    setWindowTitle(QCoreApplication::translate("SnapScreenTool", "SnapScreenTool"));
    QMetaObject::connectSlotsByName(this);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
}

SnapScreenTool::~SnapScreenTool()
{
    for (auto& job : m_listJobs)
        job->thread.join();
}

void SnapScreenTool::StartSnap(bool _blFullScreen, SnapCallback _funcCallback)
{
    // The client still waiting for its selection gets an answer before the new capture begins.
    const bool blSelecting = IsSelecting();
    if (blSelecting)
        Finish(false, kSuperseded, QString());
    m_bFullScreen = _blFullScreen;
    m_funcCallback = std::move(_funcCallback);
    qDebug() << "begin snap:" << clock();
    // The overlay covers the screen; its frozen grab is what the user sees beneath it.
    if (!blSelecting && !GrabScreen()) {
        Cancel(kSnapFailed);
        return;
    }
    m_geometry.Reset(size(), m_bFullScreen);
    qDebug() << "screen size:" << width() << "," << height();
    qDebug() << "end snap:" << clock();
    if (m_bFullScreen) {
        // Nothing to choose: the overlay would only flash on the screen.
        CloseOverlay();
        Save(true);
        return;
    }
    ShowOverlay();
    CreateToolBar();
}

bool SnapScreenTool::GrabScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    // Without a display the service runs offscreen, where a grab is a blank picture of no screen.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        screen = nullptr;
    if (!screen) {
        qCritical() << "screen get failed, exit";
        return false;
    }
    m_pixScreen = screen->grabWindow(0);
    if (m_pixScreen.isNull()) {
        qCritical() << "SnapScreenTool::GrabScreen:the display gave no image";
        return false;
    }
    m_dPixelRatio = screen->devicePixelRatio();
    const QRect rectScreen = screen->geometry();
    setFixedSize(rectScreen.size());
    move(rectScreen.topLeft());
    return true;
}

void SnapScreenTool::ShowOverlay()
{
    setFocusPolicy(Qt::StrongFocus);
    setFocus();
    setMouseTracking(true);
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
    connect(m_pToolBar, &ToolBar::signBtnCancelClicked, this, &SnapScreenTool::slot_on_btnCancel_clicked);
    connect(m_pToolBar, &ToolBar::signBtnOKClicked, this, &SnapScreenTool::slot_on_btnOK_clicked);
    PlaceToolBar();
    m_pToolBar->show();
}

void SnapScreenTool::PlaceToolBar()
{
    if (m_pToolBar)
        m_pToolBar->move(mapToGlobal(m_geometry.ToolBarPosition(m_pToolBar->size())));
}

void SnapScreenTool::CloseOverlay()
{
    if (m_pToolBar)
        m_pToolBar->deleteLater();
    m_pToolBar = nullptr;
    hide();
    setMouseTracking(false);
    m_geometry.Release();
}

void SnapScreenTool::Cancel(const QString& _qstrMessage)
{
    qDebug() << "OnCancel sending:";
    CloseOverlay();
    Finish(false, _qstrMessage, QString());
}

void SnapScreenTool::Finish(bool _blSuccess, const QString& _qstrFirst, const QString& _qstrSecond)
{
    SnapCallback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    if (callback)
        callback(_blSuccess, _qstrFirst, _qstrSecond);
}

void SnapScreenTool::slot_on_btnCancel_clicked()
{
    qDebug() << "SnapScreenTool::btnCancel occured";
    Cancel(kCancelByButton);
}

void SnapScreenTool::slot_on_btnOK_clicked()
{
    qDebug() << "SnapScreenTool::btnok occured";
    Save(false);
}

void SnapScreenTool::Save(bool _blFullScreen)
{
    const QRect crop = m_geometry.CropRect(m_dPixelRatio, _blFullScreen).intersected(m_pixScreen.rect());
    CloseOverlay();
    if (crop.isEmpty()) {
        Finish(false, kEmptyArea, QString());
        return;
    }
    SnapCallback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    // The whole grab needs no copy of its 8 MB.
    if (callback)
        StartSaveJob(crop == m_pixScreen.rect() ? m_pixScreen.toImage() : m_pixScreen.copy(crop).toImage(),
                     std::move(callback));
}

void SnapScreenTool::StartSaveJob(QImage _image, SnapCallback _funcCallback)
{
    JoinFinishedJobs();
    m_listJobs.push_back(std::make_unique<SaveJob>());
    SaveJob* job = m_listJobs.back().get();
    job->thread =
        StartServiceThread([this, job, image = std::move(_image), callback = std::move(_funcCallback)] {
            const SnapEncoder::Result result = SnapEncoder::EncodeAndStore(image);
            QMetaObject::invokeMethod(
                this,
                [this, callback, result] {
                    JoinFinishedJobs();
                    if (result.ok)
                        callback(true, result.pathBase64, result.imageBase64);
                    else
                        callback(false, kSaveFailed, QString());
                },
                Qt::QueuedConnection);
            job->done = true;
        });
}

void SnapScreenTool::JoinFinishedJobs()
{
    for (auto it = m_listJobs.begin(); it != m_listJobs.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = m_listJobs.erase(it);
        } else {
            ++it;
        }
    }
}

void SnapScreenTool::mousePressEvent(QMouseEvent* _pEvent)
{
    qDebug() << "mousePressEvent hittest:" << m_geometry.Press(_pEvent->pos());
}

void SnapScreenTool::mouseReleaseEvent(QMouseEvent*)
{
    m_geometry.Release();
    PlaceToolBar();
    qDebug() << "mouseReleaseEvent occured";
}

void SnapScreenTool::mouseMoveEvent(QMouseEvent* _pEvent)
{
    if (!m_geometry.Move(_pEvent->pos())) {
        const SelectionGeometry::HitState hit =
            SelectionGeometry::HitTest(m_geometry.Selection(), _pEvent->pos());
        qDebug() << "mouseMoveEvent hittest:" << hit;
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
        qDebug() << "Key_Escape occured, exit";
        _pEvent->accept();
        Cancel(kCancelByEsc);
    }
    QWidget::keyPressEvent(_pEvent);
}

void SnapScreenTool::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(rect(), m_pixScreen);
    if (m_bFullScreen)
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
    qDebug() << "showEvent occured";
    activateWindow();
    raise();
    QWidget::showEvent(_pEvent);
}
