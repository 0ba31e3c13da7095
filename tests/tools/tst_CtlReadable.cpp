#include "tools/qorvctl/CtlReadable.h"

#include <QtTest>

class tst_CtlReadable : public QObject
{
    Q_OBJECT
private slots:
    void oneLinePerAnswer_data();
    void oneLinePerAnswer();
    void statusTables_data();
    void statusTables();
    void wrap_data();
    void wrap();
};

void tst_CtlReadable::oneLinePerAnswer_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("line");

    // Read by the data's shape, whatever the command: empty values are left out.
    QTest::newRow("key, number and empty text") << "transfer"
                                                << "any_query" << 0LL << ""
                                                << R"({"key":"/","num":237445,"str":""})"
                                                << "any_query  0  key=/  num=237445";
    QTest::newRow("a list of objects in a text is a table")
        << "transfer"
        << "some_list" << 0LL << ""
        << R"({"key":"","num":0,"str":"[{\"cpu\":0.5,\"name\":\"a\",\"pid\":3},{\"cpu\":12.5,\"name\":\"b\u001b\",\"pid\":7}]"})"
        << "some_list  0  num=0  str=2 entries\n"
           "CPU   NAME   PID\n"
           "0.5   a      3\n"
           "12.5  b\\x1b  7";
    QTest::newRow("text lines joined") << "transfer"
                                       << "any" << 0LL << ""
                                       << R"({"key":"","num":0,"str":"CPU: x\r\nMemory: 8 GB\n"})"
                                       << "any  0  num=0  str=CPU: x; Memory: 8 GB; ";
    // "L3RtcC9zbmFwLnBuZw==" is "/tmp/snap.png".
    QTest::newRow("Base64 path saved, image left out")
        << "transfer"
        << "grab" << 0LL << ""
        << R"({"bSucc":true,"filePath":"L3RtcC9zbmFwLnBuZw==","imgBase64":"iVBORw0KGgoAAAANSUhEUgAA"})"
        << "grab  0  saved /tmp/snap.png  bSucc=true  imgBase64=(1 KiB, --json shows it)";
    QTest::newRow("plain path saved") << "transfer"
                                      << "fetch" << 100LL << ""
                                      << R"({"to":"x","file":"/home/u/a.zip"})"
                                      << "fetch  100  saved /home/u/a.zip  to=x";
    QTest::newRow("a file key that is no path stays a pair") << "transfer"
                                                             << "fetch" << 0LL << ""
                                                             << R"({"file":"notes"})"
                                                             << "fetch  0  file=notes";
    QTest::newRow("hub's ok") << "command_ret"
                              << "download" << 0LL << ""
                              << "ok"
                              << "download  0  ok";
    QTest::newRow("progress") << "transfer"
                              << "download" << 0LL << ""
                              << R"({"status":"downloading","percent":48.4469413757})"
                              << "download  0  downloading 48.4 %";
    QTest::newRow("failure with its text") << "transfer"
                                           << "update" << 101LL << "md5 mismatch"
                                           << R"({"status":"downloading","percent":100})"
                                           << "update  101  md5 mismatch  downloading 100.0 %";
    QTest::newRow("abilities") << "query_ret"
                               << "command_abilities" << 0LL << ""
                               << R"({"abilities":["download","unzip"]})"
                               << "command_abilities  0  download unzip";
    QTest::newRow("hub refusal without data") << "command_ret"
                                              << "no_such" << -3LL << "ability not found"
                                              << ""
                                              << "no_such  -3  ability not found";
    QTest::newRow("other object as pairs") << "transfer"
                                           << "thing" << 100LL << ""
                                           << R"({"b":[1,2],"a":"x","c":null})"
                                           << "thing  100  a=x  b=[1,2]  c=null";
    QTest::newRow("transfer without command") << "transfer"
                                              << "" << 0LL << ""
                                              << "hello"
                                              << "transfer  0  hello";
    // What another client sends must not drive the terminal: clear the screen, move the cursor,
    // reverse the text.
    QTest::newRow("escape sequences shown")
        << "transfer"
        << "note" << 0LL << "bad\x1b]0;title\x07" << QString::fromUtf8("\x1b[2J\u009b1Agone\u202etxt.exe")
        << "note  0  bad\\x1b]0;title\\x07  \\x1b[2J\\x9b1Agone\\x202etxt.exe";
}

void tst_CtlReadable::oneLinePerAnswer()
{
    QFETCH(QString, type);
    QFETCH(QString, command);
    QFETCH(qint64, code);
    QFETCH(QString, error);
    QFETCH(QString, data);
    QFETCH(QString, line);
    JsonCommand envelope;
    envelope.type = type;
    envelope.command = command;
    envelope.error_code = code;
    envelope.error_string = error;
    envelope.data = data;
    QCOMPARE(CtlReadable::Line(envelope), line);
}

void tst_CtlReadable::statusTables_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QString>("tables");
    QTest::newRow("nothing") << QByteArray(R"({"clients":[],"tasks":[]})")
                             << "no client logged in\n\nno task running\n";
    QTest::newRow("aligned")
        << QByteArray(R"({"clients":[{"name":"a","transport":"ws","since":"2024-03-05T14:02:11+01:00",)"
                      R"("connected":true},{"name":"long-name\u001b[1m","transport":"zmq",)"
                      R"("since":"2024-03-05T14:03:00+01:00","connected":false},)"
                      R"({"name":"old","transport":"ws","since":"2024-03-05T14:04:00+01:00"}],)"
                      R"("tasks":[{"command":"download","guid":"{1}","client":"a","percent":42.5},)"
                      R"({"command":"count_down","guid":"{22}","client":"long-name","percent":null}]})")
        << "CLIENT            TRANSPORT  CONNECTED  SINCE\n"
           "a                 ws         yes        2024-03-05T14:02:11+01:00\n"
           "long-name\\x1b[1m  zmq        no         2024-03-05T14:03:00+01:00\n"
           "old               ws         -          2024-03-05T14:04:00+01:00\n"
           "\n"
           "COMMAND     GUID  CLIENT     PERCENT\n"
           "download    {1}   a          42.5 %\n"
           "count_down  {22}  long-name  -\n";
}

void tst_CtlReadable::statusTables()
{
    QFETCH(QByteArray, status);
    QFETCH(QString, tables);
    QCOMPARE(CtlReadable::StatusTables(QJsonDocument::fromJson(status).object()), tables);
}

void tst_CtlReadable::wrap_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("wrapped");
    QTest::newRow("fits") << "a b c" << 20 << "a b c";
    QTest::newRow("at spaces, continued lines indented")
        << "command_abilities  0  download unzip replace update" << 24
        << "command_abilities  0\n  download unzip replace\n  update";
    QTest::newRow("a word longer than the line is cut") << "abcdefghijklmnop" << 10 << "abcdefghij\n  klmnop";
    QTest::newRow("each line on its own") << "aaaa bbbb\ncc" << 10 << "aaaa bbbb\ncc";
}

void tst_CtlReadable::wrap()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, wrapped);
    QCOMPARE(CtlReadable::Wrap(text, width), wrapped);
}

QTEST_APPLESS_MAIN(tst_CtlReadable)
#include "tst_CtlReadable.moc"
