// Claims on the trees tasks write into: which overlaps are refused, that a refused claim takes
// nothing, and that a claim is given back when it goes.
#include "install/PathClaim.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_PathClaim : public QObject
{
    Q_OBJECT
private slots:
    void claims_data();
    void claims();
    void refusedClaimTakesNothing();
    void releasedOnDestruction();
    void normalSpellings();
};

void tst_PathClaim::claims_data()
{
    QTest::addColumn<QStringList>("held");
    QTest::addColumn<QStringList>("wanted");
    QTest::addColumn<QString>("busy"); // empty: granted

    QTest::newRow("the same folder") << QStringList{"/w/a"} << QStringList{"/w/a"} << "/w/a";
    QTest::newRow("inside a held one") << QStringList{"/w/a"} << QStringList{"/w/a/b/c"} << "/w/a/b/c";
    QTest::newRow("holding a held one") << QStringList{"/w/a/b"} << QStringList{"/w/a"} << "/w/a";
    QTest::newRow("a name that only starts alike") << QStringList{"/w/a"} << QStringList{"/w/ab"} << "";
    QTest::newRow("siblings") << QStringList{"/w/a", "/w/b"} << QStringList{"/w/c"} << "";
    QTest::newRow("the second of two wanted")
        << QStringList{"/w/b"} << QStringList{"/w/a", "/w/b/x"} << "/w/b/x";
}

void tst_PathClaim::claims()
{
    QFETCH(QStringList, held);
    QFETCH(QStringList, wanted);
    QFETCH(QString, busy);
    Result<std::unique_ptr<PathClaim>> first = PathClaim::Claim(held);
    QVERIFY(first);
    const Result<std::unique_ptr<PathClaim>> second = PathClaim::Claim(wanted);
    QCOMPARE(bool(second), busy.isEmpty());
    if (!second)
        QCOMPARE(second.Error(), busy);
}

void tst_PathClaim::refusedClaimTakesNothing()
{
    Result<std::unique_ptr<PathClaim>> held = PathClaim::Claim({"/w/held"});
    QVERIFY(held);
    QVERIFY(!PathClaim::Claim({"/w/free", "/w/held/x"}));
    // "/w/free" was not kept by the refused claim.
    QVERIFY(PathClaim::Claim({"/w/free"}));
}

void tst_PathClaim::releasedOnDestruction()
{
    {
        Result<std::unique_ptr<PathClaim>> held = PathClaim::Claim({"/w/r", "/w/s"});
        QVERIFY(held);
        QVERIFY(!PathClaim::Claim({"/w/s"}));
        // Moving the claim keeps it.
        std::unique_ptr<PathClaim> moved = std::move(held.Value());
        QVERIFY(!PathClaim::Claim({"/w/r"}));
    }
    QVERIFY(PathClaim::Claim({"/w/r", "/w/s"}));
}

void tst_PathClaim::normalSpellings()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("real/sub")));
    QVERIFY(QFile::link(dir.filePath("real"), dir.filePath("link")));
    const QString real = PathClaim::Normal(dir.filePath("real/sub"));
    QCOMPARE(PathClaim::Normal(dir.filePath("link/sub")), real);
    QCOMPARE(PathClaim::Normal(dir.filePath("real/./sub/../sub")), real);
    // A folder not made yet: its existing parent is resolved.
    QCOMPARE(PathClaim::Normal(dir.filePath("link/sub/new")), real + "/new");
    // So a claim through the link is refused while the real folder is held.
    Result<std::unique_ptr<PathClaim>> held = PathClaim::Claim({real});
    QVERIFY(held);
    QVERIFY(!PathClaim::Claim({PathClaim::Normal(dir.filePath("link/sub/new"))}));
}

QTEST_GUILESS_MAIN(tst_PathClaim)
#include "tst_PathClaim.moc"
