// The fast PNG encoder: what it writes must decode to the very pixels, whatever the size.
#include "snap/PngEncoder.h"
#include "tests/snap/ScreenPattern.h"

#include <QtTest>

class tst_PngEncoder : public QObject
{
    Q_OBJECT
private slots:
    void decodesToTheSamePixels_data();
    void decodesToTheSamePixels();
    void nullImageGivesNothing();
};

void tst_PngEncoder::decodesToTheSamePixels_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    QTest::newRow("1x1") << "exact" << QSize(1, 1) << int(QImage::Format_RGB32);
    QTest::newRow("odd sizes") << "photo" << QSize(301, 97) << int(QImage::Format_RGB32);
    QTest::newRow("screen") << "photo" << QSize(1920, 1080) << int(QImage::Format_RGB32);
    QTest::newRow("other pixel format") << "exact" << QSize(33, 20) << int(QImage::Format_RGB16);
}

void tst_PngEncoder::decodesToTheSamePixels()
{
    QFETCH(QString, kind);
    QFETCH(QSize, size);
    QFETCH(int, format);
    const QImage image = ScreenPattern::Make(kind, size.width(), size.height())
                             .convertToFormat(QImage::Format(format))
                             .convertToFormat(QImage::Format_RGB32);
    const QByteArray png = PngEncoder::Encode(image);
    QImage decoded;
    QVERIFY(decoded.loadFromData(png, "PNG"));
    QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), image);
}

void tst_PngEncoder::nullImageGivesNothing()
{
    QVERIFY(PngEncoder::Encode(QImage()).isEmpty());
}

QTEST_APPLESS_MAIN(tst_PngEncoder)
#include "tst_PngEncoder.moc"
