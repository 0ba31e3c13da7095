// No screenshot is written through a planted link or into another user's folder: the store moves
// to a private folder instead (the modes of what is written are checked through the running
// service). The folder keeps within its bound.
#include "snap/SnapFileStore.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_SnapFileStore : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void plantedFolderIsPassedBy_data();
    void plantedFolderIsPassedBy();
    void oldestGoFirstBeyondTheBound();

private:
    std::unique_ptr<QTemporaryDir> m_pTmp;
};

void tst_SnapFileStore::init()
{
    // TMPDIR is changed below, so the test's own folder is made in the real one.
    static const QString s_qstrBase = QDir::tempPath();
    m_pTmp = std::make_unique<QTemporaryDir>(s_qstrBase + QStringLiteral("/tst_SnapFileStore-XXXXXX"));
    QVERIFY(m_pTmp->isValid());
    QVERIFY(QDir().mkpath(m_pTmp->path() + QStringLiteral("/tmp")));
    qputenv("TMPDIR", QFile::encodeName(m_pTmp->path() + QStringLiteral("/tmp")));
    QVERIFY(QDir().mkpath(m_pTmp->path() + QStringLiteral("/run")));
    QVERIFY(::chmod(QFile::encodeName(m_pTmp->path() + QStringLiteral("/run")).constData(), 0700) == 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_pTmp->path() + QStringLiteral("/run")));
}

void tst_SnapFileStore::plantedFolderIsPassedBy_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a folder") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("plain file") << "file";
    QTest::newRow("folder of another user") << "foreign";
    QTest::newRow("our folder open to all") << "open";
}

void tst_SnapFileStore::plantedFolderIsPassedBy()
{
    QFETCH(QString, kind);
    const QString folder = SnapFileStore::SharedFolder();
    const QString target = m_pTmp->path() + QStringLiteral("/elsewhere");
    if (kind == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QFile::link(target, folder));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(target, folder));
    } else if (kind == QLatin1String("file")) {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == QLatin1String("open")) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    } else {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    }
    const SnapFileStore::Result result = SnapFileStore::Save("secret", 1024);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(QFileInfo(result.path).absolutePath(),
             m_pTmp->path() + QStringLiteral("/run/qorv-utility-service/snap_screen_tool"));
    QCOMPARE(FileMode(QFileInfo(result.path).absolutePath()), 0700u);
    QCOMPARE(FileMode(result.path), 0600u);
    // Nothing was written through the link or into the planted folder.
    QVERIFY(!QFileInfo::exists(target) || QDir(target).isEmpty());
    if (kind == QLatin1String("foreign") || kind == QLatin1String("open")) {
        QVERIFY(QDir(folder).isEmpty());
        QCOMPARE(FileMode(folder), 0777u);
    }
}

void tst_SnapFileStore::oldestGoFirstBeyondTheBound()
{
    QStringList paths;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 4; ++i) {
        const SnapFileStore::Result result = SnapFileStore::Save(QByteArray(400, 'x'), 1000);
        QVERIFY(result.ok);
        QCOMPARE(QFileInfo(result.path).absolutePath(), SnapFileStore::SharedFolder());
        paths.append(result.path);
        // Aged one minute apart, so "oldest" does not hang on the clock's resolution.
        QFile file(result.path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(now.addSecs(60 * (i - 4)), QFileDevice::FileModificationTime));
    }
    // 1,000 bytes hold two of 400: the two newest stay.
    QCOMPARE(QDir(SnapFileStore::SharedFolder()).entryList(QDir::Files).size(), 2);
    QVERIFY(!QFileInfo::exists(paths[0]) && !QFileInfo::exists(paths[1]));
    QVERIFY(QFileInfo::exists(paths[2]) && QFileInfo::exists(paths[3]));
}

QTEST_APPLESS_MAIN(tst_SnapFileStore)
#include "tst_SnapFileStore.moc"
