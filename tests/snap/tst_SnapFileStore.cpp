// No screenshot is written through a planted link or into another user's folder (the modes of
// what is written are checked through the running service).
#include "snap/SnapFileStore.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t ModeOf(const QString& _qstrPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(_qstrPath).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

class tst_SnapFileStore : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void refusesFoldersThatAreNotOurs_data();
    void refusesFoldersThatAreNotOurs();

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
}

void tst_SnapFileStore::refusesFoldersThatAreNotOurs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a folder") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("plain file") << "file";
    QTest::newRow("folder of another user") << "foreign";
}

void tst_SnapFileStore::refusesFoldersThatAreNotOurs()
{
    QFETCH(QString, kind);
    const QString folder = SnapFileStore::Folder();
    const QString target = m_pTmp->path() + QStringLiteral("/elsewhere");
    if (kind == QLatin1String("link")) {
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QFile::link(target, folder));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(target, folder));
    } else if (kind == QLatin1String("file")) {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    }
    const SnapFileStore::Result result = SnapFileStore::Save("secret");
    QVERIFY(!result.ok);
    QVERIFY(result.path.isEmpty());
    QVERIFY(!result.error.isEmpty());
    // Nothing was written anywhere: not through the link, not into the foreign folder.
    QVERIFY(!QFileInfo::exists(target) || QDir(target).isEmpty());
    if (kind == QLatin1String("foreign")) {
        QVERIFY(QDir(folder).isEmpty());
        QCOMPARE(ModeOf(folder), mode_t(0777));
    }
}

QTEST_APPLESS_MAIN(tst_SnapFileStore)
#include "tst_SnapFileStore.moc"
