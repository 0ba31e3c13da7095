#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace Ui {
class CountDown;
}

// A translucent square, always on top, counting seconds down in big digits. Reused by every
// countdown: a new start replaces the count and the callback of the one before.
class CountDown : public QDialog
{
    Q_OBJECT
public:
    using FinishCallback = std::function<void()>;

    explicit CountDown(QWidget* _pParent = nullptr);
    ~CountDown() override;

    // Shows _nCount and ticks once a second; _callback runs at the tick after 1 is shown. A count
    // below 1 could never reach that tick, so it finishes at once and shows nothing.
    void Start(int _nCount, FinishCallback _callback);
    QString CountText() const;

    // 140/1920 of the screen width, the side of the square.
    static int SideFor(int _nScreenWidth);
    static QString StyleSheetFor(int _nSide);

public slots:
    void SlotTimeOut();

private:
    void Stop();

    FinishCallback m_finishCallback;
    std::unique_ptr<Ui::CountDown> m_pUi;
    QTimer m_timer;
};
