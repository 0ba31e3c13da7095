#include "notices/CountDown.h"

#include "ui_CountDown.h"

#include <QGuiApplication>
#include <QScreen>

CountDown::CountDown(QWidget* _pParent) : QDialog(_pParent), m_pUi(std::make_unique<Ui::CountDown>())
{
    m_pUi->setupUi(this);
    setObjectName(QStringLiteral("countdown"));
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int side = screen ? SideFor(screen->geometry().width()) : 0;
    setFixedSize(side, side);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setStyleSheet(StyleSheetFor(side));
    connect(&m_timer, &QTimer::timeout, this, &CountDown::SlotTimeOut);
}

CountDown::~CountDown() = default;

int CountDown::SideFor(int _nScreenWidth)
{
    return static_cast<int>(_nScreenWidth * 0.07291666666666667);
}

QString CountDown::StyleSheetFor(int _nSide)
{
    return QStringLiteral("#frame_main{border-radius:%1px;background-color: rgba(0,0,0,0.65);}")
               .arg(_nSide / 10) +
           QStringLiteral("#label_count{font:%1px; font-weight:%2; font-family: \"微软雅黑\";color:#ffffff;}")
               .arg(_nSide * 96 / 140)
               .arg(600) +
           QStringLiteral("#label_name{font:%1px; font-weight:%2; font-family: \"微软雅黑\";color:#ffffff;}")
               .arg(_nSide * 16 / 140)
               .arg(400);
}

QString CountDown::CountText() const
{
    return m_pUi->label_count->text();
}

void CountDown::Start(int _nCount, FinishCallback _callback)
{
    m_finishCallback = std::move(_callback);
    m_pUi->label_count->setText(QString::number(_nCount));
    if (_nCount < 1) {
        Stop();
        if (m_finishCallback)
            m_finishCallback();
        return;
    }
    m_timer.start(1000);
    show();
}

void CountDown::Stop()
{
    hide();
    m_timer.stop();
}

void CountDown::SlotTimeOut()
{
    const int n = m_pUi->label_count->text().toInt(nullptr, 10);
    if (n == 1) {
        Stop();
        if (m_finishCallback)
            m_finishCallback();
    }
    m_pUi->label_count->setText(QStringLiteral("%1").arg(n - 1));
}
