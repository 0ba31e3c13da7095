#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

// Asks the desktop's screenshot portal for a picture of the screen without asking the user, the
// one way a Wayland client may read it. One request at a time; the answer comes as signFinished,
// on this object's thread, once per Request() that started one. The main thread never waits: the
// portal answers through a bus signal, bounded by a timer, and its file is read on the pool.
class PortalScreenshot : public QObject
{
    Q_OBJECT
public:
    enum class Outcome {
        Picture,  // the image is the screen
        NoPortal, // nothing on the session bus offers screenshots
        Failed,   // refused, no answer in time, or an unusable file; the reason says which
    };

    static constexpr int kTimeoutMs = 20000;
    // A portal's file larger than this, or with more pixels, is refused unread.
    static constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;
    static constexpr qint64 kMaxPixels = 64LL * 1024 * 1024;

    // Whether captures go through the portal rather than a grab of the screen by Qt: the one
    // place that decides it. In a Wayland session no client may read the screen itself.
    static bool IsUsed();

    explicit PortalScreenshot(int _nTimeoutMs = kTimeoutMs, QObject* _pParent = nullptr);
    ~PortalScreenshot() override;

    // Starts a request unless one is in progress (its answer then serves this call too).
    void Request();
    bool IsBusy() const { return m_blBusy; }

signals:
    void signFinished(PortalScreenshot::Outcome _outcome, const QImage& _image, const QString& _qstrReason);

private slots:
    void slotResponse(uint _nResponse, const QVariantMap& _mapResults);

private:
    // A failed subscription shows as no answer within the bound.
    void Subscribe(const QString& _qstrPath);
    void Unsubscribe();
    void ReadFile(const QString& _qstrUri);
    void Finish(Outcome _outcome, const QImage& _image, const QString& _qstrReason);

    const int m_nTimeoutMs;
    bool m_blBusy = false;
    quint64 m_nSerial = 0; // tells a late answer from the current request's
    QString m_qstrHandle;  // the request object whose Response we listen to
    QTimer m_timer;
};

Q_DECLARE_METATYPE(PortalScreenshot::Outcome)
