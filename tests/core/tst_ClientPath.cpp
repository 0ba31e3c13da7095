// Paths a client names: a folder on the way that another user controls (theirs, open to their
// writes, or a link of theirs) refuses the path before anything is made below it; the user's
// own folders, links and sticky shared folders keep working.
#include "core/ClientPath.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr uid_t kNobody = 65534;

void Chmod(const QString& _qstrPath, mode_t _nMode)
{
    QVERIFY2(::chmod(QFile::encodeName(_qstrPath).constData(), _nMode) == 0, qPrintable(_qstrPath));
}

mode_t UserUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

void GiveAway(const QString& _qstrPath)
{
    QVERIFY2(::lchown(QFile::encodeName(_qstrPath).constData(), kNobody, kNobody) == 0,
             qPrintable(_qstrPath));
}
} // namespace

class tst_ClientPath : public QObject
{
    Q_OBJECT
private slots:
    void walksOnlyThroughTrustedFolders_data();
    void walksOnlyThroughTrustedFolders();
    void newFileReplacesALinkAtItsName();
    void noFileName_data();
    void noFileName();

private:
    QTemporaryDir m_dir;
};

void tst_ClientPath::walksOnlyThroughTrustedFolders_data()
{
    // What stands at <case>/mid on the way to <case>/mid/a/b; "" when it is made by the walk.
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("nothing there: made") << ""
                                         << "";
    QTest::newRow("nothing there, a group-writable umask: made closed") << "umask-002"
                                                                        << "";
    QTest::newRow("ours, readable by others") << "ours-0755"
                                              << "";
    QTest::newRow("ours, sticky and open to all") << "ours-1777"
                                                  << "";
    QTest::newRow("ours, open to all") << "ours-0777"
                                       << "mid: other users may write into it";
    QTest::newRow("ours, open to the group") << "ours-0775"
                                             << "mid: other users may write into it";
    QTest::newRow("a link of ours") << "link"
                                    << "";
    QTest::newRow("a link of ours, relative through ..") << "relative-link"
                                                         << "";
    QTest::newRow("a file") << "file"
                            << "mid: it is not a folder";
    QTest::newRow("another user's folder") << "foreign"
                                           << "mid: it belongs to another user (uid 65534)";
    QTest::newRow("another user's link") << "foreign-link"
                                         << "mid: it is a link of another user (uid 65534)";
    QTest::newRow("our link to another user's folder") << "link-to-foreign"
                                                       << "elsewhere: it belongs to another user (uid 65534)";
}

void tst_ClientPath::walksOnlyThroughTrustedFolders()
{
    QFETCH(QString, planted);
    QFETCH(QString, refusal);
    if (planted.contains("foreign") && ::geteuid() != 0)
        QSKIP("giving a folder to another user needs root");
    const QString base = m_dir.path() + "/" + QTest::currentDataTag();
    const QString mid = base + "/mid";
    QVERIFY(QDir().mkpath(base + "/elsewhere"));
    if (planted.startsWith("ours")) {
        QVERIFY(QDir().mkpath(mid));
        Chmod(mid, planted.mid(5).toUInt(nullptr, 8));
    } else if (planted == "link" || planted == "link-to-foreign") {
        QVERIFY(QFile::link(base + "/elsewhere", mid));
    } else if (planted == "relative-link") {
        QVERIFY(QDir().mkpath(base + "/in"));
        QVERIFY(::symlink("in/../elsewhere", QFile::encodeName(mid).constData()) == 0);
    } else if (planted == "file") {
        WriteFile(mid, "x");
    } else if (planted == "foreign") {
        QVERIFY(QDir().mkpath(mid));
        GiveAway(mid);
        Chmod(mid, 0777);
    } else if (planted == "foreign-link") {
        QVERIFY(QFile::link(base + "/elsewhere", mid));
        GiveAway(mid);
    }
    if (planted == "link-to-foreign") {
        GiveAway(base + "/elsewhere");
        Chmod(base + "/elsewhere", 0777);
    }

    // Looked at first without making anything: the same refusal, or the deepest folder there.
    const ClientPath existing = ClientPath::OpenExisting(mid + "/a/b");
    QCOMPARE(existing.IsValid(), refusal.isEmpty());
    QCOMPARE(existing.Error(), refusal.isEmpty() ? QString() : base + "/" + refusal);
    if (refusal.isEmpty())
        QCOMPARE(existing.Path(), QFileInfo(QFileInfo::exists(mid) ? mid : base).canonicalFilePath());
    QVERIFY(!QFileInfo::exists(mid + "/a"));

    const mode_t mask = ::umask(planted == "umask-002" ? 002 : UserUmask());
    const ClientPath opened = ClientPath::OpenFolder(mid + "/a/b", true);
    ::umask(mask);
    QCOMPARE(opened.IsValid(), refusal.isEmpty());
    if (refusal.isEmpty()) {
        QCOMPARE(opened.Path(), QFileInfo(mid + "/a/b").canonicalFilePath());
        QVERIFY(opened.IsStill(mid + "/a/b"));
        QVERIFY(!opened.IsStill(base));
        // A link to the folder is not the folder, even named with a trailing separator.
        QVERIFY(QFile::link(mid + "/a/b", base + "/alias"));
        QVERIFY(!opened.IsStill(base + "/alias/"));
        QCOMPARE(FileMode(mid + "/a") & 022, 0u);
    } else {
        QCOMPARE(opened.Error(), base + "/" + refusal);
        // Nothing was made below the refused folder, wherever it leads.
        QVERIFY(!QFileInfo::exists(base + "/elsewhere/a"));
        QVERIFY(!QFileInfo::exists(mid + "/a"));
    }
}

void tst_ClientPath::newFileReplacesALinkAtItsName()
{
    const QString folder = m_dir.path() + "/commit";
    WriteFile(m_dir.path() + "/victim", "precious");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::link(m_dir.path() + "/victim", folder + "/target"));

    ClientPath parent = ClientPath::OpenParent(folder + "/target", false);
    QVERIFY2(parent.IsValid(), qPrintable(parent.Error()));
    QCOMPARE(parent.Name(), QString("target"));
    QByteArray temp;
    QFile file;
    QVERIFY(parent.CreateTemp(file, temp, 0640));
    QCOMPARE(file.write("new"), qint64(3));
    file.close();
    QVERIFY(parent.CommitTemp(temp));
    QCOMPARE(ReadFile(folder + "/target"), QByteArray("new"));
    QCOMPARE(ReadFile(m_dir.path() + "/victim"), QByteArray("precious"));
    QCOMPARE(FileMode(folder + "/target"), 0640u & ~UserUmask());

    // A file that replaces a file keeps its permission bits.
    Chmod(folder + "/target", 0604);
    QFile again;
    QVERIFY(parent.CreateTemp(again, temp, 0600));
    again.close();
    QVERIFY(parent.CommitTemp(temp));
    QCOMPARE(FileMode(folder + "/target"), 0604u);
}

void tst_ClientPath::noFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << "";
    QTest::newRow("root") << "/";
    QTest::newRow("dot dot") << "/tmp/..";
}

void tst_ClientPath::noFileName()
{
    QFETCH(QString, path);
    const ClientPath parent = ClientPath::OpenParent(path, false);
    QVERIFY(!parent.IsValid());
    QVERIFY(parent.Error().endsWith("no file name"));
}

QTEST_GUILESS_MAIN(tst_ClientPath)
#include "tst_ClientPath.moc"
