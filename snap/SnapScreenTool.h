#pragma once

#include "snap/SelectionGeometry.h"
#include "snap/ToolBar.h"

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <functional>

// A frameless, always-on-top window over the primary screen showing a frozen picture of it, on
// which the user chooses a rectangle with the mouse and confirms it on the toolbar (or cancels,
// also with Esc). It only shows the selection: the picture is handed in, and the chosen part
// goes back to whoever asked, exactly once per selection, on this object's thread.
class SnapScreenTool : public QWidget
{
    Q_OBJECT
public:
    // The chosen part (device pixels) or, when it is null, why there is none.
    using ChoiceCallback = std::function<void(const QImage& _image, const QString& _qstrFailure)>;

    // _blFullScreenWindow: a Wayland compositor places windows itself, so the overlay is a
    // full-screen window holding its toolbar.
    explicit SnapScreenTool(bool _blFullScreenWindow);
    ~SnapScreenTool() override;

    // Shows _picture (_dPixelRatio device pixels per screen pixel) over _rectScreen with the
    // starting selection; a selection still open is answered as superseded first.
    void Select(const QPixmap& _picture, double _dPixelRatio, const QRect& _rectScreen,
                ChoiceCallback _callback);
    // Ends the open selection, if any, with _qstrReason and closes the overlay.
    void Abandon(const QString& _qstrReason);

    const SelectionGeometry& Geometry() const { return m_geometry; }
    ToolBar* CurrentToolBar() const { return m_pToolBar; }
    bool IsSelecting() const { return isVisible() && m_funcCallback != nullptr; }
    // The frozen picture the selection is made on, and its pixel ratio.
    const QPixmap& Picture() const { return m_pixScreen; }
    double PixelRatio() const { return m_dPixelRatio; }

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
    void ShowOverlay();
    void CreateToolBar();
    void PlaceToolBar();
    void CloseOverlay();
    void Cancel(const QString& _qstrMessage);
    // Hands the callback its one call; later calls find none.
    void Finish(const QImage& _image, const QString& _qstrFailure);

    const bool m_blFullScreenWindow;
    QPixmap m_pixScreen;
    double m_dPixelRatio = 1.0;
    SelectionGeometry m_geometry;
    ChoiceCallback m_funcCallback;
    QPointer<ToolBar> m_pToolBar;
    bool m_blLeaving = false; // the last paint before the overlay hides: the picture alone
};
