// The screenshot portal client against a stand-in portal on a private session bus: what each
// answer of the portal becomes, and how the portal's file is treated.
#include "core/WorkerPool.h"
#include "snap/PortalScreenshot.h"
#include "tests/install/TestFiles.h"
#include "tests/snap/PrivateSessionBus.h"
#include "tests/snap/ScreenPattern.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using Outcome = PortalScreenshot::Outcome;

class tst_PortalScreenshot : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void answer_data();
    void answer();

private:
    PrivateSessionBus m_bus;
    QTemporaryDir m_temp;  // the process's temporary folder
    QTemporaryDir m_other; // a folder of the user's that is not a temporary one
    QImage m_image = ScreenPattern::Make(QStringLiteral("exact"), 64, 48);
};

void tst_PortalScreenshot::initTestCase()
{
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import dbus, gi")}) != 0)
        QSKIP("python3-dbus and python3-gi are needed for the stand-in portal");
    QVERIFY2(m_bus.start(false), qPrintable(m_bus.errorString()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
    qputenv("TMPDIR", m_temp.path().toUtf8());
}

void tst_PortalScreenshot::cleanupTestCase()
{
    WorkerPool::Service().Stop();
}

void tst_PortalScreenshot::answer_data()
{
    QTest::addColumn<QStringList>("portal"); // the stand-in's arguments; none: no portal on the bus
    QTest::addColumn<QString>("file");       // what the portal's file is: png, link, garbage, foreign
    QTest::addColumn<bool>("temporary");     // the file lies in the temporary folder
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("fileLeft");

    const QStringList picture{QStringLiteral("picture"), QStringLiteral("%uri")};
    QTest::newRow("temporary file read and removed")
        << picture << "png" << true << Outcome::Picture << "" << false;
    QTest::newRow("file elsewhere is the user's")
        << picture << "png" << false << Outcome::Picture << "" << true;
    QTest::newRow("link refused") << picture << "link" << true << Outcome::Failed << "cannot open" << true;
    QTest::newRow("another user's file")
        << picture << "foreign" << true << Outcome::Failed << "not a file of this user" << true;
    QTest::newRow("not an image") << picture << "garbage" << true << Outcome::Failed << "no image" << false;
    QTest::newRow("not a local file") << QStringList{"picture", "https://example.invalid/shot.png"} << ""
                                      << false << Outcome::Failed << "not a local file" << false;
    QTest::newRow("cancelled") << QStringList{"refuse", "1"} << "" << false << Outcome::Failed
                               << "(response 1)" << false;
    QTest::newRow("ended") << QStringList{"refuse", "2"} << "" << false << Outcome::Failed << "(response 2)"
                           << false;
    QTest::newRow("no answer") << QStringList{"silent"} << "" << false << Outcome::Failed
                               << "no answer within" << false;
    QTest::newRow("no portal") << QStringList() << "" << false << Outcome::NoPortal << "ServiceUnknown"
                               << false;
}

void tst_PortalScreenshot::answer()
{
    QFETCH(QStringList, portal);
    QFETCH(QString, file);
    QFETCH(bool, temporary);
    QFETCH(Outcome, outcome);
    QFETCH(QString, reason);
    QFETCH(bool, fileLeft);

    const QString path = (temporary ? m_temp.path() : m_other.path()) + QStringLiteral("/out.png");
    const QString target = m_other.filePath(QStringLiteral("target.png"));
    QFile::remove(path);
    if (file == QLatin1String("link")) {
        QVERIFY(m_image.save(target, "PNG"));
        QVERIFY(QFile::link(target, path));
    } else if (file == QLatin1String("garbage")) {
        WriteFile(path, QByteArray(4096, 'x'));
    } else if (!file.isEmpty()) {
        QVERIFY(m_image.save(path, "PNG"));
        if (file == QLatin1String("foreign"))
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
    QProcess* standIn = nullptr;
    if (!portal.isEmpty()) {
        portal.replaceInStrings(QStringLiteral("%uri"), QUrl::fromLocalFile(path).toString());
        standIn = m_bus.launch(QStringLiteral("/usr/bin/python3"),
                               QStringList{PrivateSessionBus::standInPortal()} + portal,
                               QProcessEnvironment(), QStringLiteral("ready"));
        QVERIFY2(standIn, qPrintable(m_bus.errorString()));
    }

    PortalScreenshot screenshot(1500);
    QSignalSpy finished(&screenshot, &PortalScreenshot::signFinished);
    screenshot.Request();
    screenshot.Request(); // joins the request in progress
    QVERIFY(finished.wait(10000));
    if (standIn)
        QVERIFY(m_bus.end(standIn, QStringLiteral("org.freedesktop.portal.Desktop")));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<Outcome>(), outcome);
    const QImage image = finished.at(0).at(1).value<QImage>();
    if (outcome == Outcome::Picture)
        QCOMPARE(image.convertToFormat(QImage::Format_RGB32), m_image);
    else
        QVERIFY(image.isNull());
    const QString why = finished.at(0).at(2).toString();
    QVERIFY2(why.contains(reason), qPrintable(why));
    QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), fileLeft);
    QVERIFY(QFileInfo::exists(target) || file != QLatin1String("link"));
}

QTEST_GUILESS_MAIN(tst_PortalScreenshot)
#include "tst_PortalScreenshot.moc"
