#pragma once

#include "snap/SelectionGeometry.h"
#include "snap/ToolBar.h"

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <thread>

// On success: (true, Base64 of the saved file's UTF-8 path, Base64 of the PNG);
// on failure: (false, the reason, empty).
using SnapCallback =
    std::function<void(bool _blSuccess, const QString& _qstrFirst, const QString& _qstrSecond)>;

// A frameless, always-on-top window over the primary screen showing a frozen grab of it. Area
// mode lets the user choose a rectangle; full-screen mode saves the whole grab at once. Each
// capture calls its callback exactly once, on this object's thread.
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

public slots:
    void slot_on_btnCancel_clicked();
    void slot_on_btnOK_clicked();

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
    void ShowOverlay();
    void CreateToolBar();
    void PlaceToolBar();
    void CloseOverlay();
    void Cancel(const QString& _qstrMessage);
    void Save(bool _blFullScreen);
    // Hands the callback its one call; later calls find none.
    void Finish(bool _blSuccess, const QString& _qstrFirst, const QString& _qstrSecond);
    // Encodes, writes and converts on a thread of its own; the callback runs back on ours.
    void StartSaveJob(QImage _image, SnapCallback _funcCallback);
    void JoinFinishedJobs();

    struct SaveJob
    {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    QPixmap m_pixScreen;
    bool m_bFullScreen = false;
    double m_dPixelRatio = 1.0;
    SelectionGeometry m_geometry;
    SnapCallback m_funcCallback;
    QPointer<ToolBar> m_pToolBar;
    std::list<std::unique_ptr<SaveJob>> m_listJobs;
};
