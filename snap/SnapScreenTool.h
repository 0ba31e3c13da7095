#pragma once

#include "snap/PortalScreenshot.h"
#include "snap/SelectionGeometry.h"
#include "snap/SnapEncoder.h"
#include "snap/ToolBar.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>

// On success: (true, Base64 of the saved file's UTF-8 path, Base64 (ASCII) of the PNG);
// on failure: (false, the reason, empty).
using SnapCallback =
    std::function<void(bool _blSuccess, const QString& _qstrFirst, const QByteArray& _baImageBase64)>;

// A frameless, always-on-top window over the primary screen showing a frozen grab of it (from the
// X server, or in a Wayland session from the desktop's screenshot portal, which answers later). Area
// mode lets the user choose a rectangle; full-screen mode saves the whole grab at once. Each
// capture calls its callback exactly once, on this object's thread.
//
// One full-screen grab at a time: requests that arrive while one is in progress (until its last
// answer is out) share its picture, encoded once, each with a file of its own; at most
// kMaxWaitingRequests wait beside the one that grabbed, and a further one fails at once. The
// encoding and the files are work for the service's pool; the answers of a shared grab go out one
// after another, each once the transports have written most of what is queued.
class SnapScreenTool : public QWidget
{
    Q_OBJECT
public:
    SnapScreenTool();
    ~SnapScreenTool() override;

    void StartSnap(bool _blFullScreen, SnapCallback _funcCallback);

    const SelectionGeometry& Geometry() const { return m_geometry; }
    ToolBar* CurrentToolBar() const { return m_pToolBar; }
    bool IsSelecting() const { return isVisible() && m_funcCallback != nullptr; }

    static const QString kCancelByEsc;
    static const QString kCancelByButton;
    static const QString kSnapFailed;
    static const QString kEmptyArea;
    static const QString kSuperseded;
    static const QString kSaveFailed;
    // The worker pool refused the work: the hub's -4 text, answered with that code.
    static const QString kBusy;

    static constexpr int kMaxWaitingRequests = 8;
    // A shared grab's next answer waits while the transports hold more than this unsent, up to
    // kMaxAnswerWaitMs, so that its answers never all sit in memory at once.
    static constexpr qint64 kMaxUnsentBeforeAnswer = 64LL * 1024 * 1024;
    static constexpr int kMaxAnswerWaitMs = 2000;

public slots:
    void slot_on_btnCancel_clicked();
    void slot_on_btnOK_clicked();

private slots:
    void slotPortalFinished(PortalScreenshot::Outcome _outcome, const QImage& _image,
                            const QString& _qstrReason);

protected:
    void mousePressEvent(QMouseEvent* _pEvent) override;
    void mouseReleaseEvent(QMouseEvent* _pEvent) override;
    void mouseMoveEvent(QMouseEvent* _pEvent) override;
    void keyPressEvent(QKeyEvent* _pEvent) override;
    void paintEvent(QPaintEvent* _pEvent) override;
    void showEvent(QShowEvent* _pEvent) override;

private:
    // Grabs the primary screen; false when there is none or the display refuses (Wayland).
    bool GrabScreen();
    // Makes the portal's picture the frozen grab; false without a screen to show it on.
    bool AdoptPicture(const QImage& _image);
    void ShowSelection();
    void ShowOverlay();
    void CreateToolBar();
    void PlaceToolBar();
    void CloseOverlay();
    void Cancel(const QString& _qstrMessage);
    void Save(bool _blFullScreen);
    // Hands the callback its one call; later calls find none.
    void Finish(bool _blSuccess, const QString& _qstrFirst, const QByteArray& _baImage);
    // Encodes and writes on the pool; the callback runs back on this thread.
    void StartSaveJob(QImage _image, SnapCallback _funcCallback);

    // A full-screen capture: joins the grab in progress or makes one (_blFrozen: of the picture
    // the overlay already shows).
    void StartFullScreen(SnapCallback _funcCallback, bool _blFrozen);
    // Answers the shared grab's next request when its picture is ready and the transports have room.
    void PumpGrab();
    // Encodes the shared grab's picture on the pool.
    void EncodeGrab(const QImage& _image);
    // Answers every request of the shared grab with this failure and ends it.
    void FailGrab(const QString& _qstrReason);
    struct SharedGrab
    {
        std::deque<SnapCallback> waiting; // not yet answered, in order of arrival
        bool picturePending = false;      // the portal's picture is still to come
        bool encoded = false;
        bool storing = false; // a file is being written on the pool
        SnapEncoder::Picture picture;
        qint64 waitStartMs = -1; // since when the next answer waits for the transports
        bool timerArmed = false;
        quint64 serial = 0;
    };

    QPixmap m_pixScreen;
    bool m_bFullScreen = false;
    double m_dPixelRatio = 1.0;
    SelectionGeometry m_geometry;
    SnapCallback m_funcCallback;
    QPointer<ToolBar> m_pToolBar;
    std::unique_ptr<SharedGrab> m_pGrab; // the full-screen grab in progress
    quint64 m_nGrabs = 0;
    QElapsedTimer m_clock;
    PortalScreenshot* m_pPortal = nullptr; // in a Wayland session only
};
