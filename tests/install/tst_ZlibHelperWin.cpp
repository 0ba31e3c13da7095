// Extraction on Windows, with an archive written by minizip's own writer: both engines read the
// archive at offsets through its handle and create every file below the checked destination's
// folder handles; a name that would leave the destination writes nothing.
#include "install/ZlibHelper.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <minizip/zip.h>

namespace {

constexpr int kWaitMs = 60000;

// A zip of {name, bytes}, each entry deflated.
bool WriteZip(const QString& _qstrPath, const Tree& _entries)
{
    zipFile zip = zipOpen64(QFile::encodeName(_qstrPath).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (auto it = _entries.cbegin(); ok && it != _entries.cend(); ++it) {
        zip_fileinfo info = {};
        ok = zipOpenNewFileInZip64(zip, it.key().toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) == ZIP_OK &&
             zipWriteInFileInZip(zip, it.value().constData(), static_cast<unsigned>(it.value().size())) ==
                 ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

// Runs one extraction to its end: the error text, empty when it finished.
QString Extract(int _nEngine, const QString& _qstrArchive, const QString& _qstrDest)
{
    bool done = false;
    QString error;
    {
        ZlibHelper helper;
        QObject::connect(
            &helper, &ZlibHelper::signUnzipFinished, &helper, [&] { done = true; }, Qt::QueuedConnection);
        QObject::connect(
            &helper, &ZlibHelper::signErrorOccurred, &helper,
            [&](const QString& _qstrError) {
                error = _qstrError;
                done = true;
            },
            Qt::QueuedConnection);
        if (_nEngine == 1)
            helper.startUnzip(_qstrArchive, _qstrDest, "w");
        else
            helper.startUnzipV2(_qstrArchive, _qstrDest, "w");
        if (!QTest::qWaitFor([&] { return done; }, kWaitMs))
            return "extraction did not end in time";
    }
    return error;
}

} // namespace

class tst_ZlibHelperWin : public QObject
{
    Q_OBJECT
private slots:
    void extracts_data();
    void extracts();
};

void tst_ZlibHelperWin::extracts_data()
{
    QTest::addColumn<int>("engine");
    QTest::addColumn<bool>("hostile");
    QTest::newRow("first engine") << 1 << false;
    QTest::newRow("second engine") << 2 << false;
    QTest::newRow("first engine, a name leaving the folder") << 1 << true;
    QTest::newRow("second engine, a name leaving the folder") << 2 << true;
}

void tst_ZlibHelperWin::extracts()
{
    QFETCH(int, engine);
    QFETCH(bool, hostile);
    QTemporaryDir dir;
    QByteArray big(400000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 7919) >> 5);
    Tree entries{{"a.txt", "first\r\nline\n"}, {"Sub/b.bin", big}, {"sub2/deep/c.txt", "c"}};
    if (hostile)
        entries.insert("../outside.txt", "escaped");
    QVERIFY(WriteZip(dir.path() + "/in.zip", entries));
    // An existing folder named in another case than the archive names it.
    QVERIFY(QDir().mkpath(dir.path() + "/dest/SUB"));

    const QString error = Extract(engine, dir.path() + "/in.zip", dir.path() + "/dest");
    QCOMPARE(QFileInfo::exists(dir.path() + "/outside.txt"), false);
    if (hostile) {
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFileInfo::exists(dir.path() + "/dest/a.txt"));
        return;
    }
    QCOMPARE(error, QString());
    QCOMPARE(ReadFile(dir.path() + "/dest/a.txt"), QByteArray("first\r\nline\n"));
    QCOMPARE(ReadFile(dir.path() + "/dest/SUB/b.bin"), big);
    QCOMPARE(ReadFile(dir.path() + "/dest/sub2/deep/c.txt"), QByteArray("c"));
}

QTEST_GUILESS_MAIN(tst_ZlibHelperWin)
#include "tst_ZlibHelperWin.moc"
