// The tips description: what a body sets, keeps or drops, its round trip, and scaling.
#include "notices/ViewTipsData.h"

#include <QtTest>

class tst_ViewTipsData : public QObject
{
    Q_OBJECT
private slots:
    void loads_data();
    void loads();
    void roundTrip();
    void scalesLengthsNotTime();
    void hostileSizesAreBounded();
};

void tst_ViewTipsData::loads_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("showTime");
    QTest::addColumn<bool>("strong");
    QTest::addColumn<QString>("viewName");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("valid") << R"({"width":258,"show_time":5,"strong_stips":true,"view_data":{"obj_name":"v"},
                               "list_button_data":[{"obj_name":"a"},{"obj_name":"b"}]})"
                           << 258 << 5 << true << "v" << QStringList{"a", "b"};
    QTest::newRow("fraction reads 0")
        << R"({"width":258.5,"show_time":5})" << 0 << 5 << false << "" << QStringList();
    QTest::newRow("wrong types keep defaults")
        << R"({"width":"258","strong_stips":1,"view_data":"v","list_button_data":{}})" << 0 << 0 << false
        << "" << QStringList();
    QTest::newRow("non-object button reads empty")
        << R"({"list_button_data":[5,{"obj_name":"b"}]})" << 0 << 0 << false << "" << QStringList{"", "b"};
    QTest::newRow("not an object") << "[1,2]" << 0 << 0 << false << "" << QStringList();
    QTest::newRow("not JSON") << "{width:" << 0 << 0 << false << "" << QStringList();
}

void tst_ViewTipsData::loads()
{
    QFETCH(QString, body);
    QFETCH(int, width);
    QFETCH(int, showTime);
    QFETCH(bool, strong);
    QFETCH(QString, viewName);
    QFETCH(QStringList, buttons);
    ViewTipsData d;
    d.LoadFromString(body);
    QCOMPARE(d.width, width);
    QCOMPARE(d.show_time, showTime);
    QCOMPARE(d.strong_stips, strong);
    QCOMPARE(d.view_data.obj_name, viewName);
    QStringList names;
    for (const ObjData& b : d.list_button_data)
        names << b.obj_name;
    QCOMPARE(names, buttons);
}

void tst_ViewTipsData::roundTrip()
{
    ViewTipsData d;
    d.label_detail = true;
    d.label_detail_data.show_name = QStringLiteral("电脑CPU占用过高");
    d.list_button_data.append(d.label_detail_data);
    ViewTipsData back;
    back.LoadFromString(d.ToString());
    QCOMPARE(back.ToString(), d.ToString());
    QCOMPARE(back.list_button_data.size(), 1);
}

void tst_ViewTipsData::scalesLengthsNotTime()
{
    ViewTipsData d;
    d.width = 258;
    d.show_time = 5;
    d.main_tips_data.font_size = 14;
    d.list_button_data.append(d.main_tips_data);
    const ViewTipsData s = d.Scaled(1440 / 1080.0);
    QCOMPARE(s.width, 344);
    QCOMPARE(s.main_tips_data.font_size, 18);
    QCOMPARE(s.list_button_data.first().font_size, 18);
    QCOMPARE(s.show_time, 5);
}

void tst_ViewTipsData::hostileSizesAreBounded()
{
    ViewTipsData d;
    d.LoadFromString(R"({"width":2147483647,"height":-5,"show_time":2147483647,
                        "main_tips_data":{"font_size":2147483647}})");
    d.main_tips_data.show_name = QString(100000, QLatin1Char('x'));
    for (int i = 0; i < 40; ++i)
        d.list_button_data.append(ObjData());
    ViewTipsData s = d.Scaled(1440 / 1080.0);
    s.Bound(QSize(2560, 1440));
    QCOMPARE(s.width, 2560);
    QCOMPARE(s.height, 0);
    QCOMPARE(s.main_tips_data.font_size, 1440);
    QCOMPARE(s.main_tips_data.show_name.size(), ObjData::kMaxTextChars);
    QCOMPARE(s.show_time, ViewTipsData::kMaxShowTimeSeconds);
    QCOMPARE(s.list_button_data.size(), ViewTipsData::kMaxButtons);
}

QTEST_GUILESS_MAIN(tst_ViewTipsData)
#include "tst_ViewTipsData.moc"
