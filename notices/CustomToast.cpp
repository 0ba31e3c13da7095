#include "notices/CustomToast.h"
#include "core/LogCategories.h"

#include "notices/ToastPlacement.h"

#include <QDebug>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace {

float PrimaryScale()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return ToastPlacement::Scale(screen ? screen->geometry().height() : 1080);
}

} // namespace

CustomToast::CustomToast(QWidget* _pParent)
    : QWidget(_pParent), m_pixmapIcon(QStringLiteral(":/images/warning.png"))
{
    qCWarning(lcNotices) << "CustomToast:" << ToastPlacement::kDesignWidth << ","
                         << ToastPlacement::kDesignHeight;
    setFixedSize(ToastPlacement::kDesignWidth, ToastPlacement::kDesignHeight);
    setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("CustomToast"));
    connect(&m_timer, &QTimer::timeout, this, &QWidget::close);
}

void CustomToast::ShowToast()
{
    const QSize size = ToastPlacement::Size(PrimaryScale());
    qCWarning(lcNotices) << "CustomToast:" << size.width() << "," << size.height();
    setFixedSize(size);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const auto topLeft = ToastPlacement::TopLeft(m_body.position, screen->availableGeometry(), size);
        if (topLeft)
            move(*topLeft);
    }
    show();
    activateWindow();
    m_timer.start(m_body.timeRemain);
}

void CustomToast::mousePressEvent(QMouseEvent* /*_pEvent*/)
{
    close();
}

void CustomToast::closeEvent(QCloseEvent* _pEvent)
{
    m_timer.stop();
    QWidget::closeEvent(_pEvent);
}

void CustomToast::paintEvent(QPaintEvent* /*_pEvent*/)
{
    const float s = PrimaryScale();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 255));
    painter.drawRoundedRect(rect(), s * 10, s * 10, Qt::AbsoluteSize);

    painter.setPen(QColor(QStringLiteral("#3D444D")));
    QFont font(QStringLiteral("微软雅黑"));
    font.setPointSize(qMax(1, static_cast<int>(s * 16)));
    font.setWeight(75);
    painter.setFont(font);

    const int d = static_cast<int>(s * 88);
    const int m = static_cast<int>(s * 10);
    const QRect iconRect(m, (height() - d) / 2, d, d);
    if (!m_pixmapIcon.isNull() && d > 0) {
        // Kept in proportion, so the 176 x 154 icon sits centred in its square.
        const QPixmap icon = m_pixmapIcon.scaled(d, d, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        painter.drawPixmap(iconRect.x() + (d - icon.width()) / 2, iconRect.y() + (d - icon.height()) / 2,
                           icon);
    }
    const QRect textRect(static_cast<int>(s * 20 + d), m, static_cast<int>(width() - s * 30 - d),
                         static_cast<int>(height() - s * 20));
    painter.drawText(textRect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWrapAnywhere, m_body.message);
}
