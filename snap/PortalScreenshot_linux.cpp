// The freedesktop screenshot portal on the session bus (org.freedesktop.portal.Screenshot) and the
// file it answers with, read through one descriptor opened without following links.
#include "snap/PortalScreenshot.h"

#include "core/WorkerPool.h"
#include "snap/WaylandSession.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

struct Loaded
{
    QImage image;
    QString error;
};

class Descriptor
{
public:
    explicit Descriptor(int _nFd) : m_nFd(_nFd) {}
    ~Descriptor()
    {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_nFd; }

private:
    int m_nFd;
};

QString Errno()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool MeansNoPortal(const QDBusError& _error)
{
    switch (_error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
        return true;
    default:
        return false;
    }
}

// The portal leaves its picture where its backend wrote it; one in a temporary folder is ours to
// remove (the screen's contents should not linger there), and only while it is still the file read.
void RemoveIfTemporary(const QString& _qstrPath, const struct stat& _read)
{
    const QFileInfo info(_qstrPath);
    const QString folder = QDir::cleanPath(info.absolutePath());
    if (folder != QDir::cleanPath(QDir::tempPath()) && folder != QLatin1String("/tmp"))
        return;
    const Descriptor dir(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Get() < 0)
        return;
    const QByteArray name = QFile::encodeName(info.fileName());
    struct stat now = {};
    if (::fstatat(dir.Get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == _read.st_dev && now.st_ino == _read.st_ino)
        ::unlinkat(dir.Get(), name.constData(), 0);
}

// The file is the portal's, in a folder others may write to: never through a link, a regular file
// of our own user, within the size bounds before anything is decoded.
Loaded LoadPortalFile(const QString& _qstrUri)
{
    Loaded loaded;
    const QUrl url(_qstrUri);
    if (!url.isLocalFile()) {
        loaded.error = QStringLiteral("the portal's picture is not a local file: ") + _qstrUri.left(256);
        return loaded;
    }
    const QString path = url.toLocalFile();
    const Descriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st = {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
        loaded.error = QStringLiteral("cannot open the portal's picture %1: %2").arg(path, Errno());
        return loaded;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size > PortalScreenshot::kMaxFileBytes) {
        loaded.error = QStringLiteral("the portal's picture %1 is not a file of this user within %2 bytes")
                           .arg(path)
                           .arg(PortalScreenshot::kMaxFileBytes);
        return loaded;
    }
    QFile file;
    if (!file.open(fd.Get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        loaded.error =
            QStringLiteral("cannot read the portal's picture %1: %2").arg(path, file.errorString());
        return loaded;
    }
    QByteArray bytes = file.read(PortalScreenshot::kMaxFileBytes);
    RemoveIfTemporary(path, st);
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > PortalScreenshot::kMaxPixels) {
        loaded.error = QStringLiteral("the portal's picture %1 is no image of at most %2 pixels")
                           .arg(path)
                           .arg(PortalScreenshot::kMaxPixels);
        return loaded;
    }
    loaded.image = reader.read();
    if (loaded.image.isNull())
        loaded.error =
            QStringLiteral("the portal's picture %1 cannot be decoded: %2").arg(path, reader.errorString());
    return loaded;
}

} // namespace

bool PortalScreenshot::IsUsed()
{
    return WaylandSession::IsActive();
}

PortalScreenshot::PortalScreenshot(int _nTimeoutMs, QObject* _pParent)
    : QObject(_pParent), m_nTimeoutMs(_nTimeoutMs)
{
    qRegisterMetaType<PortalScreenshot::Outcome>();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        Finish(Outcome::Failed, QImage(),
               QStringLiteral("the screenshot portal gave no answer within %1 ms").arg(m_nTimeoutMs));
    });
}

PortalScreenshot::~PortalScreenshot()
{
    Unsubscribe();
}

void PortalScreenshot::Request()
{
    if (m_blBusy)
        return;
    m_blBusy = true;
    const quint64 serial = ++m_nSerial;
    m_timer.start(m_nTimeoutMs);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        // Answered from the event loop, as every other outcome is.
        const QString reason = QStringLiteral("no session bus: ") + bus.lastError().message();
        QTimer::singleShot(0, this, [this, serial, reason] {
            if (serial == m_nSerial && m_blBusy)
                Finish(Outcome::NoPortal, QImage(), reason);
        });
        return;
    }
    const QString token = QStringLiteral("qorv%1_%2").arg(QCoreApplication::applicationPid()).arg(serial);
    const QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    // Subscribed before the call: a portal may answer before its reply to the call arrives.
    Subscribe(kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token);
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kScreenshotInterface,
                                                       QStringLiteral("Screenshot"));
    call << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false}};
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, m_nTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, serial](QDBusPendingCallWatcher* _pWatcher) {
                _pWatcher->deleteLater();
                if (serial != m_nSerial || !m_blBusy)
                    return;
                const QDBusPendingReply<QDBusObjectPath> reply = *_pWatcher;
                if (!reply.isError()) {
                    // Portals older than the handle_token option answer on a path of their own choosing.
                    const QString handle = reply.value().path();
                    if (handle != m_qstrHandle) {
                        Unsubscribe();
                        Subscribe(handle);
                    }
                    return;
                }
                const QDBusError error = reply.error();
                Finish(
                    MeansNoPortal(error) ? Outcome::NoPortal : Outcome::Failed, QImage(),
                    QStringLiteral("the screenshot portal failed: %1 %2").arg(error.name(), error.message()));
            });
}

void PortalScreenshot::slotResponse(uint _nResponse, const QVariantMap& _mapResults)
{
    if (!m_blBusy)
        return;
    Unsubscribe();
    switch (_nResponse) {
    case 0:
        ReadFile(_mapResults.value(QStringLiteral("uri")).toString());
        return;
    case 1:
        Finish(Outcome::Failed, QImage(),
               QStringLiteral("the screenshot portal refused: cancelled (response 1)"));
        return;
    default:
        Finish(
            Outcome::Failed, QImage(),
            QStringLiteral("the screenshot portal refused: the request ended (response %1)").arg(_nResponse));
        return;
    }
}

void PortalScreenshot::Subscribe(const QString& _qstrPath)
{
    m_qstrHandle = _qstrPath;
    QDBusConnection::sessionBus().connect(QString(), _qstrPath, kRequestInterface, QStringLiteral("Response"),
                                          this, SLOT(slotResponse(uint, QVariantMap)));
}

void PortalScreenshot::Unsubscribe()
{
    if (m_qstrHandle.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(QString(), m_qstrHandle, kRequestInterface,
                                             QStringLiteral("Response"), this,
                                             SLOT(slotResponse(uint, QVariantMap)));
    m_qstrHandle.clear();
}

void PortalScreenshot::ReadFile(const QString& _qstrUri)
{
    const quint64 serial = m_nSerial;
    const bool queued = WorkerPool::Service().Run(
        this, [_qstrUri] { return LoadPortalFile(_qstrUri); },
        [this, serial](Loaded _loaded) {
            if (serial != m_nSerial || !m_blBusy)
                return;
            Finish(_loaded.image.isNull() ? Outcome::Failed : Outcome::Picture, _loaded.image, _loaded.error);
        });
    if (!queued)
        Finish(Outcome::Failed, QImage(),
               QStringLiteral("the worker pool refused to read the portal's picture"));
}

void PortalScreenshot::Finish(Outcome _outcome, const QImage& _image, const QString& _qstrReason)
{
    m_blBusy = false;
    m_timer.stop();
    Unsubscribe();
    emit signFinished(_outcome, _image, _qstrReason);
}
