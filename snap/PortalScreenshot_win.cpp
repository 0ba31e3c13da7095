// Windows has no screenshot portal: any program of the user's may read the screen, so captures
// are Qt's grab (IsUsed() is false) and a request still made is answered NoPortal, as on a
// desktop whose bus offers none.
#include "snap/PortalScreenshot.h"

bool PortalScreenshot::IsUsed()
{
    return false;
}

PortalScreenshot::PortalScreenshot(int _nTimeoutMs, QObject* _pParent)
    : QObject(_pParent), m_nTimeoutMs(_nTimeoutMs)
{
    qRegisterMetaType<PortalScreenshot::Outcome>();
    m_timer.setSingleShot(true);
}

PortalScreenshot::~PortalScreenshot() = default;

void PortalScreenshot::Request()
{
    if (m_blBusy)
        return;
    m_blBusy = true;
    const quint64 serial = ++m_nSerial;
    // Answered from the event loop, as the portal's answers are.
    QTimer::singleShot(0, this, [this, serial] {
        if (serial == m_nSerial && m_blBusy)
            Finish(Outcome::NoPortal, QImage(), QStringLiteral("Windows has no screenshot portal"));
    });
}

void PortalScreenshot::slotResponse(uint, const QVariantMap&) {}

void PortalScreenshot::Finish(Outcome _outcome, const QImage& _image, const QString& _qstrReason)
{
    m_blBusy = false;
    emit signFinished(_outcome, _image, _qstrReason);
}
