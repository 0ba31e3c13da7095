// Covers the X screen with a known image: pattern_window exact|photo. Prints "ready" once a grab
// of the screen shows the image, so a test knows the display holds it.
#include "tests/snap/ScreenPattern.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

class PatternWindow : public QWidget
{
public:
    explicit PatternWindow(QImage _image) : m_image(std::move(_image))
    {
        setWindowFlags(Qt::FramelessWindowHint);
        setWindowTitle(QStringLiteral("qorv-pattern"));
        setGeometry(0, 0, m_image.width(), m_image.height());
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_image); }

private:
    QImage m_image;
};

bool ScreenShows(const QImage& _image)
{
    const QImage grab = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (grab.size() != _image.size())
        return false;
    for (const QPoint& pt : {QPoint(0, 0), QPoint(_image.width() - 1, _image.height() - 1),
                             QPoint(_image.width() / 2, _image.height() / 3)})
        if ((grab.pixel(pt) & 0xffffff) != (_image.pixel(pt) & 0xffffff))
            return false;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QString kind = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("exact");
    const QSize size = QGuiApplication::primaryScreen()->size();
    const QImage image = ScreenPattern::Make(kind, size.width(), size.height());
    PatternWindow window(image);
    window.show();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!ScreenShows(image))
            return;
        poll.stop();
        std::printf("ready\n");
        std::fflush(stdout);
    });
    poll.start(50);
    return app.exec();
}
