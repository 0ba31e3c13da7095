// A tips window built from its description: how it ends (button or never), its style
// sheet with the image folder filled in, and which rows it builds.
#include "notices/ViewTips.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_ViewTips : public QObject
{
    Q_OBJECT
private slots:
    void buttonClickEndsIt_data();
    void buttonClickEndsIt();
    void strongTipsStayUp();
    void styleSheet_data();
    void styleSheet();
    void detailLabelNeedsItsFrame();
};

namespace {

ViewTipsData TwoButtons()
{
    ViewTipsData d;
    d.LoadFromString(R"({"width":300,"height":120,"show_time":60,"view_data":{"obj_name":"viewTips"},
        "widget_button_data":{"width":280,"height":40},
        "list_button_data":[{"obj_name":"btnOk","width":80,"height":30,"border_radius":4},
                            {"obj_name":"btnCancel","width":80,"height":30,"border_radius":6}]})");
    return d;
}

} // namespace

void tst_ViewTips::buttonClickEndsIt_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::newRow("first") << 0 << "btnOk";
    QTest::newRow("second") << 1 << "btnCancel";
}

void tst_ViewTips::buttonClickEndsIt()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QPointer<ViewTips> tips = new ViewTips;
    tips->InitView(TwoButtons());
    tips->show();
    QSignalSpy clicked(tips.data(), &ViewTips::SignBtnClicked);
    QSignalSpy finished(tips.data(), &ViewTips::SignViewTipsFinished);
    QCOMPARE(tips->Buttons().size(), 2);
    QTest::mouseClick(tips->Buttons().at(index), Qt::LeftButton);
    QVERIFY(!tips->isVisible());
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.first().first().toString(), name);
    QCOMPARE(finished.size(), 1);
    QTRY_VERIFY(tips.isNull());
}

void tst_ViewTips::strongTipsStayUp()
{
    ViewTipsData d = TwoButtons();
    d.show_time = 3;
    d.strong_stips = true;
    ViewTips tips;
    tips.InitView(d);
    QVERIFY(!tips.IsAutoClosing());
}

void tst_ViewTips::styleSheet_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<QString>("sheet");
    const QString radius = QStringLiteral("#viewTips{ border-radius:0px;}");
    QTest::newRow("every placeholder replaced")
        << "#a{image:url(%path%/x.png)} #b{image:url(%path%/y.png)}"
        << "%path%"
        << "#a{image:url(/img/x.png)} #b{image:url(/img/y.png)}" + radius;
    QTest::newRow("empty placeholder leaves the text") << "url(%path%/x.png)"
                                                       << ""
                                                       << "url(%path%/x.png)" + radius;
    QTest::newRow("missing file") << QString() << "%path%" << radius;
    QTest::newRow("a FIFO is not read") << "fifo"
                                        << "%path%" << radius;
    QTest::newRow("over 1 MiB once replaced") << QString(300000, 'x') << "x" << radius;
}

void tst_ViewTips::styleSheet()
{
    QFETCH(QString, file);
    QFETCH(QString, placeholder);
    QFETCH(QString, sheet);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tips.qss"));
    if (file == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (!file.isNull()) {
        QFile qss(path);
        QVERIFY(qss.open(QIODevice::WriteOnly));
        qss.write(file.toUtf8());
    }
    ViewTipsData d;
    d.view_data.obj_name = QStringLiteral("viewTips");
    d.view_tips_qss_path = path;
    d.view_tips_image_replace = placeholder;
    d.view_tips_image_path = QStringLiteral("/img");
    ViewTips tips;
    tips.InitView(d);
    QCOMPARE(tips.styleSheet(), sheet);
}

void tst_ViewTips::detailLabelNeedsItsFrame()
{
    ViewTipsData d;
    d.LoadFromString(R"({"width":1000,"height":500,"label_detail":true,
        "frame_detail_data":{"obj_name":"frmDetail","width":600,"height":200},
        "label_detail_data":{"obj_name":"lblDetail","width":400,"height":100}})");
    ViewTips without;
    without.InitView(d);
    QVERIFY(!without.findChild<QLabel*>(QStringLiteral("lblDetail")));
    d.frame_detail = true;
    ViewTips with;
    with.InitView(d);
    const QLabel* label = with.findChild<QLabel*>(QStringLiteral("lblDetail"));
    QVERIFY(label);
    QCOMPARE(label->parentWidget()->objectName(), QStringLiteral("frmDetail"));
}

QTEST_MAIN(tst_ViewTips)
#include "tst_ViewTips.moc"
