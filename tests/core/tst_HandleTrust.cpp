// The trust rules of the Windows file code, on the values it reads from a handle: who owns a
// folder or link, what the access list grants to others, and where a link leads. Under Wine no
// second account exists and access lists are not enforced, so the rules are checked here.
#include "core/HandleTrust.h"

#include <QtEndian>
#include <QtTest>

using namespace HandleTrust;

Q_DECLARE_METATYPE(HandleTrust::Who)

namespace {

constexpr quint32 kReadExecute = 0x1200a9;
constexpr quint32 kModify = 0x1301bf;
constexpr quint32 kSymlink = 0xA000000C;
constexpr quint32 kJunction = 0xA0000003;

// Reparse data as the file system returns it: tag, sizes, the two names' places, then the names.
QByteArray ReparseData(quint32 _nTag, const QString& _qstrSubstitute, quint32 _nFlags = 0)
{
    const bool symlink = _nTag == kSymlink;
    const int names = symlink ? 20 : 16;
    QByteArray data(names, '\0');
    qToLittleEndian<quint32>(_nTag, data.data());
    const QByteArray text(reinterpret_cast<const char*>(_qstrSubstitute.utf16()), _qstrSubstitute.size() * 2);
    qToLittleEndian<quint16>(static_cast<quint16>(data.size() - 8 + text.size()), data.data() + 4);
    qToLittleEndian<quint16>(0, data.data() + 8);
    qToLittleEndian<quint16>(static_cast<quint16>(text.size()), data.data() + 10);
    qToLittleEndian<quint16>(static_cast<quint16>(text.size()), data.data() + 12);
    qToLittleEndian<quint16>(0, data.data() + 14);
    if (symlink)
        qToLittleEndian<quint32>(_nFlags, data.data() + 16);
    return data + text;
}

} // namespace

class tst_HandleTrust : public QObject
{
    Q_OBJECT
private slots:
    void othersRights_data();
    void othersRights();
    void refusals_data();
    void refusals();
    void linkTargets_data();
    void linkTargets();
};

void tst_HandleTrust::othersRights_data()
{
    QTest::addColumn<bool>("hasDacl");
    QTest::addColumn<QList<quint32>>("grants"); // who, allow, inheritOnly, mask in fours
    QTest::addColumn<quint32>("expected");
    const auto row = [](Who _who, bool _allow, bool _inheritOnly, quint32 _mask) {
        return QList<quint32>{static_cast<quint32>(_who), _allow, _inheritOnly, _mask};
    };
    QTest::newRow("no access list: everything to everyone") << false << QList<quint32>() << 0xFFFFFFFFu;
    QTest::newRow("an empty list: nothing") << true << QList<quint32>() << 0u;
    QTest::newRow("user, administrators and system do not count")
        << true
        << row(Who::User, true, false, kModify) + row(Who::Administrators, true, false, kModify) +
               row(Who::System, true, false, 0x1f01ff)
        << 0u;
    QTest::newRow("others' grants add up")
        << true
        << row(Who::Other, true, false, kReadExecute) + row(Who::Other, true, false, Rights::kAddSubfolder)
        << (kReadExecute | Rights::kAddSubfolder);
    QTest::newRow("given only to what is made inside")
        << true << row(Who::Other, true, true, kModify) + row(Who::Other, true, false, kReadExecute)
        << kReadExecute;
    QTest::newRow("a denial takes nothing back")
        << true << row(Who::Other, false, false, kModify) + row(Who::Other, true, false, kModify) << kModify;
}

void tst_HandleTrust::othersRights()
{
    QFETCH(bool, hasDacl);
    QFETCH(QList<quint32>, grants);
    QFETCH(quint32, expected);
    std::vector<Ace> aces;
    for (int i = 0; i + 3 < grants.size(); i += 4)
        aces.push_back(Ace{static_cast<Who>(grants.at(i)), grants.at(i + 1) != 0, grants.at(i + 2) != 0,
                           grants.at(i + 3)});
    QCOMPARE(OthersRights(hasDacl, aces), expected);
}

void tst_HandleTrust::refusals_data()
{
    QTest::addColumn<bool>("isFolder");
    QTest::addColumn<bool>("isLink");
    QTest::addColumn<Who>("owner");
    QTest::addColumn<quint32>("others");
    QTest::addColumn<QString>("client");    // ClientFolderRefusal, or LinkRefusal for a link
    QTest::addColumn<QString>("privately"); // PrivateFolderRefusal
    const QString foreign = "it belongs to another user";
    const QString writable = "other users may write into it";
    QTest::newRow("ours, closed") << true << false << Who::User << 0u << ""
                                  << "";
    QTest::newRow("ours, others read") << true << false << Who::User << kReadExecute << ""
                                       << "";
    QTest::newRow("a drive's root: others may add folders")
        << true << false << Who::System << (kReadExecute | Rights::kAddSubfolder) << "" << foreign;
    QTest::newRow("administrators'") << true << false << Who::Administrators << kReadExecute << "" << foreign;
    QTest::newRow("another user's") << true << false << Who::Other << 0u << foreign + " (S-1-5-21-1-2-3-1001)"
                                    << foreign;
    QTest::newRow("ours, others may add files")
        << true << false << Who::User << Rights::kAddFile << "" << writable;
    QTest::newRow("ours, others may delete inside")
        << true << false << Who::User << Rights::kDeleteChild << writable << writable;
    QTest::newRow("ours, others may rename it (modify inherited from a drive's root)")
        << true << false << Who::User << kModify << writable << writable;
    QTest::newRow("ours, others may change its list")
        << true << false << Who::User << Rights::kWriteDac << writable << writable;
    QTest::newRow("ours, others may take it over")
        << true << false << Who::User << Rights::kWriteOwner << writable << writable;
    QTest::newRow("ours, others have every right")
        << true << false << Who::User << Rights::kGenericAll << writable << writable;
    QTest::newRow("a file") << false << false << Who::User << 0u << "it is not a folder"
                            << "it is a link or no folder";
    QTest::newRow("a link of ours") << true << true << Who::User << 0u << ""
                                    << "it is a link or no folder";
    QTest::newRow("a link of the system") << true << true << Who::System << 0u << ""
                                          << "it is a link or no folder";
    QTest::newRow("another user's link")
        << true << true << Who::Other << 0u << "it is a link of another user (S-1-5-21-1-2-3-1001)"
        << "it is a link or no folder";
}

void tst_HandleTrust::refusals()
{
    QFETCH(bool, isFolder);
    QFETCH(bool, isLink);
    QFETCH(Who, owner);
    QFETCH(quint32, others);
    QFETCH(QString, client);
    QFETCH(QString, privately);
    Facts facts;
    facts.isFolder = isFolder;
    facts.isLink = isLink;
    facts.owner = owner;
    facts.ownerName = "S-1-5-21-1-2-3-1001";
    facts.othersRights = others;
    QCOMPARE(isLink ? LinkRefusal(facts) : ClientFolderRefusal(facts), client);
    QCOMPARE(PrivateFolderRefusal(facts), privately);
}

void tst_HandleTrust::linkTargets_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("relative");
    QTest::addColumn<QString>("path");
    QTest::newRow("symbolic link to a folder")
        << ReparseData(kSymlink, "\\??\\C:\\Program Files\\App") << true << false << "C:/Program Files/App";
    QTest::newRow("relative symbolic link")
        << ReparseData(kSymlink, "..\\elsewhere", 1) << true << true << "../elsewhere";
    QTest::newRow("junction") << ReparseData(kJunction, "\\??\\D:\\data") << true << false << "D:/data";
    QTest::newRow("junction to a share")
        << ReparseData(kJunction, "\\??\\UNC\\server\\share\\d") << true << false << "//server/share/d";
    QTest::newRow("mounted volume") << ReparseData(kJunction, "\\??\\Volume{0000-1}\\") << true << false
                                    << "//?/Volume{0000-1}/";
    QTest::newRow("absolute name without the NT prefix")
        << ReparseData(kSymlink, "C:\\x") << false << false << "";
    QTest::newRow("another kind of reparse point")
        << ReparseData(0x9000001A, "\\??\\C:\\cloud") << false << false << "";
    QTest::newRow("cut short") << ReparseData(kSymlink, "\\??\\C:\\target").left(30) << false << false << "";
    QTest::newRow("header only") << QByteArray(12, '\0') << false << false << "";
}

void tst_HandleTrust::linkTargets()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, ok);
    QFETCH(bool, relative);
    QFETCH(QString, path);
    const LinkTarget target = ParseReparseData(data);
    QCOMPARE(target.ok, ok);
    if (ok) {
        QCOMPARE(target.relative, relative);
        QCOMPARE(target.path, path);
    }
}

QTEST_GUILESS_MAIN(tst_HandleTrust)
#include "tst_HandleTrust.moc"
