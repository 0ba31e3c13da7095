// Archives come from real writers: Info-ZIP's zip, Go's archive/zip corpus and Python's zipfile
// (which keeps hostile names as written). Info-ZIP's unzip is the oracle for what a good archive holds.
#include "install/ZlibHelper.h"
#include "resources/QorvResources.h"
#include "tests/support/FileMode.h"
#include "tests/support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kGoCorpus = QStringLiteral("/usr/share/go-1.19/src/archive/zip/testdata");
constexpr int kWaitMs = 60000;

// Writes a zip with Python's zipfile from rows {name, data, deflate, link}; then optionally damages
// it: "prefix" puts a stub before it (as self-extractors do), "flip" toggles a bit of the first stored byte
// run "CORRUPT", "short" claims 10 bytes more than the only entry inflates to.
const char* kPyWriter = R"PY(
import sys, json, zipfile, struct, warnings
warnings.simplefilter("ignore")
out, rows, damage = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
with zipfile.ZipFile(out, "w") as z:
    for r in rows:
        info = zipfile.ZipInfo(r["name"])
        info.compress_type = zipfile.ZIP_DEFLATED if r.get("deflate") else zipfile.ZIP_STORED
        if r.get("link"):
            info.create_system = 3
            info.external_attr = 0o120777 << 16
        z.writestr(info, r.get("data", "").encode())
b = bytearray(open(out, "rb").read())
if damage == "flip":
    b[b.find(b"CORRUPT")] ^= 0x20
elif damage == "prefix":
    b[0:0] = b"SFX-STUB"
elif damage == "short":
    for sig, off in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
        i = b.find(sig) + off
        struct.pack_into("<I", b, i, struct.unpack_from("<I", b, i)[0] + 10)
open(out, "wb").write(b)
)PY";

QString Python()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

bool PyZip(const QString& _qstrOut, const QJsonArray& _rows, const QString& _qstrDamage = QStringLiteral("-"))
{
    QProcess proc;
    proc.start(Python(),
               {QStringLiteral("-c"), QString::fromUtf8(kPyWriter), _qstrOut,
                QString::fromUtf8(QJsonDocument(_rows).toJson(QJsonDocument::Compact)), _qstrDamage});
    if (!proc.waitForFinished(kWaitMs) || proc.exitCode() != 0) {
        qWarning() << proc.readAllStandardError();
        return false;
    }
    return true;
}

QJsonObject Row(const QString& _qstrName, const QString& _qstrData = QString(), bool _blDeflate = false)
{
    return QJsonObject{{"name", _qstrName}, {"data", _qstrData}, {"deflate", _blDeflate}};
}

bool RunTool(const QString& _qstrDir, const QString& _qstrTool, const QStringList& _args)
{
    QProcess proc;
    proc.setWorkingDirectory(_qstrDir);
    proc.start(_qstrTool, _args);
    return proc.waitForFinished(kWaitMs) && proc.exitStatus() == QProcess::NormalExit && proc.exitCode() <= 1;
}

// Relative path -> content; links as "link:" + target, folders as "<dir>" when asked for.
QMap<QString, QByteArray> Snapshot(const QString& _qstrRoot, bool _blFolders)
{
    QMap<QString, QByteArray> out;
    const QString root = QDir::cleanPath(_qstrRoot);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = path.mid(root.size() + 1);
        if (info.isSymLink())
            out.insert(relative, "link:" + QFile::encodeName(info.symLinkTarget()));
        else if (info.isDir()) {
            if (_blFolders)
                out.insert(relative, "<dir>");
        } else
            out.insert(relative, ReadFile(path));
    }
    return out;
}

// Names first, so a failure shows which entry differs.
#define COMPARE_TREES(actual, expected)                                                                      \
    do {                                                                                                     \
        const auto a_ = (actual);                                                                            \
        const auto e_ = (expected);                                                                          \
        QCOMPARE(a_.keys(), e_.keys());                                                                      \
        for (const QString& k_ : e_.keys())                                                                  \
            QVERIFY2(a_.value(k_) == e_.value(k_), qPrintable(k_));                                          \
    } while (false)

// Collects what a helper reports, on the test's thread.
class Recorder : public QObject
{
    Q_OBJECT
public:
    QList<QPair<qint64, qint64>> progress;
    QStringList ids;
    int finished = 0;
    QStringList errors;
    bool Done() const { return finished + errors.size() > 0; }

public slots:
    void slotProgress(qint64 _nDone, qint64 _nTotal, const QString& _qstrId)
    {
        progress.append({_nDone, _nTotal});
        ids.append(_qstrId);
    }
    void slotFinished(const QString& _qstrId)
    {
        ++finished;
        ids.append(_qstrId);
    }
    void slotError(const QString& _qstrText, const QString& _qstrId)
    {
        errors.append(_qstrText);
        ids.append(_qstrId);
    }
};

void Attach(ZlibHelper& _helper, Recorder& _rec)
{
    QObject::connect(&_helper, &ZlibHelper::signUnzipProgress, &_rec, &Recorder::slotProgress,
                     Qt::QueuedConnection);
    QObject::connect(&_helper, &ZlibHelper::signUnzipFinished, &_rec, &Recorder::slotFinished,
                     Qt::QueuedConnection);
    QObject::connect(&_helper, &ZlibHelper::signErrorOccurred, &_rec, &Recorder::slotError,
                     Qt::QueuedConnection);
}

// Runs one extraction to its end; the helper is joined and destroyed before returning.
std::unique_ptr<Recorder> Extract(int _nEngine, const QString& _qstrArchive, const QString& _qstrDest)
{
    auto rec = std::make_unique<Recorder>();
    {
        ZlibHelper helper;
        Attach(helper, *rec);
        if (_nEngine == 1)
            helper.startUnzip(_qstrArchive, _qstrDest, QStringLiteral("task-1"));
        else
            helper.startUnzipV2(_qstrArchive, _qstrDest, QStringLiteral("task-1"));
        if (!QTest::qWaitFor([&rec] { return rec->Done(); }, kWaitMs))
            qWarning() << "extraction did not end in time";
    }
    QCoreApplication::processEvents(); // anything still queued
    return rec;
}

QString Zh(const char* _szKey)
{
    return QCoreApplication::translate("ZlibHelper", _szKey);
}

QString Stage()
{
    return QCoreApplication::translate("ZlibHelper", "UNZIP_PACKAGE_FAILED") + "|";
}
} // namespace

class tst_ZlibHelper : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void extractsInfoZipTree_data();
    void extractsInfoZipTree();
    void firstEngineGoesInNameOrder();
    void goCorpus_data();
    void goCorpus();
    void hostileNamesWriteNothing_data();
    void hostileNamesWriteNothing();
    void linksOnDiskCannotLeadOut_data();
    void linksOnDiskCannotLeadOut();
    void linkEntriesBecomePlainFiles_data();
    void linkEntriesBecomePlainFiles();
    void linksPlantedDuringARunAreNotFollowed_data();
    void linksPlantedDuringARunAreNotFollowed();
    void destinationOtherUsersControlIsRefused_data();
    void destinationOtherUsersControlIsRefused();
    void safeDestinationsExtract_data();
    void safeDestinationsExtract();
    void corruptEntriesFail_data();
    void corruptEntriesFail();
    void replacesReadOnlyFile_data();
    void replacesReadOnlyFile();
    void pathErrorsNameTheTarget();
    void stopEndsWithinAnEntry_data();
    void stopEndsWithinAnEntry();
    void freshHelperReportsNothing();
    void secondEngineJoinsMissingSeparator();
    void texts_data();
    void texts();

private:
    // Installed for the whole run so that error texts carry their arguments; texts() also runs without.
    QTranslator m_translator;
    QTemporaryDir m_tmp;
    QString m_qstrTree;
    QString m_qstrTreeZip;
};

void tst_ZlibHelper::initTestCase()
{
    InitQorvResources();
    QVERIFY(m_translator.load(":/i18n/qorv-utility-service_zh_CN.qm"));
    QCoreApplication::installTranslator(&m_translator);
    QVERIFY(m_tmp.isValid());
    // Nested and empty folders, an empty file, a hidden file, stored (.bin) and deflated entries,
    // and one entry larger than the first engine's chunk.
    m_qstrTree = m_tmp.filePath("tree");
    WriteFile(m_qstrTree + "/top.txt", QByteArray("top level\n").repeated(50));
    WriteFile(m_qstrTree + "/empty.txt", QByteArray());
    WriteFile(m_qstrTree + "/.hidden", "hidden");
    WriteFile(m_qstrTree + "/a/b/c/deep.txt", "deep");
    QByteArray noise;
    for (int i = 0; i < 300 * 1024; ++i)
        noise.append(static_cast<char>((i * 7919) ^ (i >> 5)));
    WriteFile(m_qstrTree + "/a/big.bin", noise);
    WriteFile(m_qstrTree + "/a/b/text.log", QByteArray("line of log\n").repeated(40000));
    QVERIFY(QDir().mkpath(m_qstrTree + "/empty/inner"));
    m_qstrTreeZip = m_tmp.filePath("tree.zip");
    QVERIFY(RunTool(m_qstrTree, "zip", {"-q", "-r", "-n", ".bin", m_qstrTreeZip, "."}));
}

void tst_ZlibHelper::extractsInfoZipTree_data()
{
    QTest::addColumn<int>("engine");
    QTest::newRow("first engine") << 1;
    QTest::newRow("second engine") << 2;
}

void tst_ZlibHelper::extractsInfoZipTree()
{
    QFETCH(int, engine);
    const QString dest = m_tmp.filePath(QStringLiteral("out-tree-%1").arg(engine)) + "/";
    const auto rec = Extract(engine, m_qstrTreeZip, dest);
    QCOMPARE(rec->errors, QStringList());
    QCOMPARE(rec->finished, 1);
    for (const QString& id : rec->ids)
        QCOMPARE(id, QStringLiteral("task-1"));

    // The first engine also makes empty folders; the second makes only those its files need.
    COMPARE_TREES(Snapshot(dest, engine == 1), Snapshot(m_qstrTree, engine == 1));
    QCOMPARE(QFileInfo::exists(dest + "empty/inner"), engine == 1);

    const qint64 total = QFileInfo(m_qstrTree + "/top.txt").size() + 6 + 4 + 300 * 1024 + 12 * 40000;
    QVERIFY(!rec->progress.isEmpty());
    QCOMPARE(rec->progress.last(), qMakePair(total, total));
    for (int i = 1; i < rec->progress.size(); ++i)
        QVERIFY(rec->progress[i].first >= rec->progress[i - 1].first);
    if (engine == 1) {
        QCOMPARE(rec->progress.first(), qMakePair(qint64(0), total));
        // One report before the first file and one after each file.
        QCOMPARE(rec->progress.size(), 1 + 6);
    } else {
        // Reports come per 8 KiB chunk.
        QVERIFY(rec->progress.size() > total / 8192);
    }
}

void tst_ZlibHelper::firstEngineGoesInNameOrder()
{
    const QString archive = m_tmp.filePath("order.zip");
    QVERIFY(PyZip(archive, {Row("b.txt", "bbbbb"), Row("a/x.txt", "xx")}));
    const auto rec = Extract(1, archive, m_tmp.filePath("out-order"));
    QCOMPARE(rec->finished, 1);
    const QList<QPair<qint64, qint64>> expected{{0, 7}, {2, 7}, {7, 7}};
    QCOMPARE(rec->progress, expected);
}

void tst_ZlibHelper::goCorpus_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<int>("engine");
    QTest::addColumn<QString>("error"); // "@" stands for the archive; empty: must match what unzip extracts
    if (!QDir(kGoCorpus).exists())
        QSKIP("golang-1.19-src is not installed");
    const QStringList good{"test.zip",
                           "test-prefix.zip",
                           "test-trailing-junk.zip",
                           "dd.zip",
                           "crc32-not-streamed.zip",
                           "go-with-datadesc-sig.zip",
                           "unix.zip",
                           "winxp.zip",
                           "subdir.zip",
                           "utf8-infozip.zip",
                           "utf8-osx.zip",
                           "utf8-winzip.zip",
                           "time-22738.zip",
                           "go-no-datadesc-sig.zip",
                           "zip64.zip",
                           "zip64-2.zip"};
    for (int engine : {1, 2}) {
        for (const QString& name : good)
            QTest::newRow(qPrintable(QStringLiteral("%1 engine %2").arg(name).arg(engine)))
                << name << engine << QString();
        // A file "a/b" and a folder "a/b/" cannot both be made: the archive is refused as a whole.
        QTest::newRow(qPrintable(QStringLiteral("dupdir.zip engine %1").arg(engine)))
            << "dupdir.zip" << engine
            << (engine == 1 ? Zh("UNSAFE_ENTRY_NAME").arg("a/b/") : QString("unsafe entry name:a/b/"));
        QTest::newRow(qPrintable(QStringLiteral("readme.notzip engine %1").arg(engine)))
            << "readme.notzip" << engine
            << (engine == 1 ? Zh("QUERY_FILE_LIST_FAILED").arg("@", "3")
                            : QString("failed to open zip file:@"));
        // Its central directory size is wrong; minizip cannot step onto the first entry.
        QTest::newRow(qPrintable(QStringLiteral("test-baddirsz.zip engine %1").arg(engine)))
            << "test-baddirsz.zip" << engine
            << (engine == 1 ? Zh("QUERY_FILE_LIST_FAILED").arg("@", "4")
                            : QString("unable to obtain file info:@"));
    }
}

void tst_ZlibHelper::goCorpus()
{
    QFETCH(QString, archive);
    QFETCH(int, engine);
    QFETCH(QString, error);
    QString path = kGoCorpus + "/" + archive;
    if (archive == "go-no-datadesc-sig.zip") {
        QFile encoded(path + ".base64");
        QVERIFY(encoded.open(QIODevice::ReadOnly));
        path = m_tmp.filePath(archive);
        WriteFile(path, QByteArray::fromBase64(encoded.readAll()));
    }
    const QString dest = m_tmp.filePath(QStringLiteral("go-%1-%2").arg(engine).arg(archive));
    const auto rec = Extract(engine, path, dest);
    if (!error.isEmpty()) {
        QCOMPARE(rec->finished, 0);
        QCOMPARE(rec->errors, QStringList{Stage() + QString(error).replace("@", path)});
        QVERIFY(Snapshot(dest, false).isEmpty());
        return;
    }
    QCOMPARE(rec->errors, QStringList());
    QCOMPARE(rec->finished, 1);
    const QString oracle = m_tmp.filePath(QStringLiteral("unzip-%1-%2").arg(engine).arg(archive));
    QVERIFY(QDir().mkpath(oracle));
    QVERIFY(RunTool(oracle, "unzip", {"-o", "-q", path, "-d", oracle}));
    COMPARE_TREES(Snapshot(dest, false), Snapshot(oracle, false));
}

void tst_ZlibHelper::hostileNamesWriteNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown"); // how the error names it
    const QString longComponent(256, QLatin1Char('n'));
    QString longName;
    while (longName.size() < 5000)
        longName += QStringLiteral("segment/");
    longName += "f";
    const struct
    {
        const char* tag;
        QString name;
        QString shown;
    } rows[] = {
        {"parent", "../evil.txt", "../evil.txt"},
        {"parent inside", "a/../../evil.txt", "a/../../evil.txt"},
        {"backslash parent", "a\\..\\..\\evil.txt", "a/../../evil.txt"},
        {"absolute", "/tmp/evil.txt", "/tmp/evil.txt"},
        {"backslash absolute", "\\tmp\\evil.txt", "/tmp/evil.txt"},
        {"drive letter", "C:/evil.txt", "C:/evil.txt"},
        {"drive relative", "c:evil.txt", "c:evil.txt"},
        {"stream", "a.txt:hidden", "a.txt:hidden"},
        {"control", "bad\x01name.txt", "bad\\x01name.txt"},
        {"newline", "two\nlines.txt", "two\\x0alines.txt"},
        {"c1 control", QString::fromUtf8("c1\xc2\x85.txt"), "c1\\x85.txt"},
        {"long component", "dir/" + longComponent, "dir/" + longComponent},
        {"dot only", "./", "./"},
        {"duplicate", "first.txt", "first.txt"},
        {"duplicate folder", "first.txt/", "first.txt/"},
        {"duplicate dot", "./first.txt", "./first.txt"},
    };
    for (const auto& row : rows)
        QTest::newRow(row.tag) << row.name << row.shown;
    QTest::newRow("too long for the name buffer") << longName << QString();
}

void tst_ZlibHelper::hostileNamesWriteNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    // A harmless entry first: it must not be written either.
    const QString archive = m_tmp.filePath(QStringLiteral("hostile-%1.zip").arg(QTest::currentDataTag()));
    QVERIFY(PyZip(archive, {Row("first.txt", "first"), Row(name, "evil")}));
    for (int engine : {1, 2}) {
        QTemporaryDir box; // dest sits two levels down so "../.." stays inside the box
        const QString dest = box.filePath("x/dest");
        const auto rec = Extract(engine, archive, dest);
        QCOMPARE(rec->finished, 0);
        QCOMPARE(rec->errors.size(), 1);
        const QString& text = rec->errors.first();
        if (shown.isEmpty()) {
            QVERIFY2(
                text.startsWith(
                    Stage() +
                    (engine == 1
                         ? QCoreApplication::translate("ZlibHelper", "UNSAFE_ENTRY_NAME").section('[', 0, 0)
                         : "unsafe entry name:")),
                qPrintable(text));
            QVERIFY(text.contains("segment/segment/"));
        } else if (engine == 1) {
            QCOMPARE(text,
                     Stage() + QCoreApplication::translate("ZlibHelper", "UNSAFE_ENTRY_NAME").arg(shown));
        } else {
            QCOMPARE(text, Stage() + "unsafe entry name:" + shown);
        }
        QVERIFY(Snapshot(box.path(), true).isEmpty());
        QVERIFY(!QFile::exists("/tmp/evil.txt"));
    }
}

void tst_ZlibHelper::linksOnDiskCannotLeadOut_data()
{
    QTest::addColumn<QString>("linkName");   // link made inside the destination
    QTest::addColumn<QString>("linkTarget"); // relative to the box; "" = dangling
    QTest::addColumn<QString>("entry");
    QTest::newRow("folder link to outside") << "out"
                                            << "outside"
                                            << "out/pwn.txt";
    QTest::newRow("file link to outside") << "victim.txt"
                                          << "outside/victim.txt"
                                          << "victim.txt";
    QTest::newRow("deeper folder link") << "a/b"
                                        << "outside"
                                        << "a/b/c/pwn.txt";
    QTest::newRow("dangling link") << "gone.txt"
                                   << ""
                                   << "gone.txt";
    // Extraction follows no link, so one that leads inside is refused as well.
    QTest::newRow("folder link inside") << "alias"
                                        << "dest/real"
                                        << "alias/ok.txt";
    QTest::newRow("folder entry on a folder link inside") << "alias"
                                                          << "dest/real"
                                                          << "alias/";
}

void tst_ZlibHelper::linksOnDiskCannotLeadOut()
{
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, entry);
    const QString archive = m_tmp.filePath(QStringLiteral("links-%1.zip").arg(QTest::currentDataTag()));
    QVERIFY(PyZip(archive, {Row("first.txt", "first"), Row(entry, "payload")}));
    for (int engine : {1, 2}) {
        QTemporaryDir box;
        const QString dest = box.filePath("dest");
        QVERIFY(QDir().mkpath(box.filePath("outside")));
        QVERIFY(QDir().mkpath(box.filePath("dest/real")));
        WriteFile(box.filePath("outside/victim.txt"), "precious");
        QVERIFY(QDir().mkpath(QFileInfo(dest + "/" + linkName).absolutePath()));
        QVERIFY(QFile::link(linkTarget.isEmpty() ? box.filePath("nowhere/none") : box.filePath(linkTarget),
                            dest + "/" + linkName));
        const auto rec = Extract(engine, archive, dest);
        QCOMPARE(rec->errors.size(), 1);
        QVERIFY2(rec->errors.first().endsWith(engine == 1 ? "[" + entry + "]" : ":" + entry),
                 qPrintable(rec->errors.first()));
        QVERIFY(!QFile::exists(dest + "/first.txt"));
        QCOMPARE(ReadFile(box.filePath("outside/victim.txt")), QByteArray("precious"));
        QCOMPARE(QDir(box.filePath("outside")).entryList(QDir::Files), QStringList{"victim.txt"});
        QVERIFY(QDir(box.filePath("dest/real")).isEmpty());
    }
}

void tst_ZlibHelper::linksPlantedDuringARunAreNotFollowed_data()
{
    QTest::addColumn<int>("engine");
    QTest::addColumn<QString>("planted"); // below the destination, once the first bytes are written
    QTest::addColumn<QString>("error");   // empty: the run completes
    for (int engine : {1, 2}) {
        QTest::newRow(qPrintable(QStringLiteral("folder link, engine %1").arg(engine)))
            << engine << "sub"
            << (engine == 1 ? Zh("CREATE_PATH_FAILED").arg("@/sub") : "ubable to open sub file:sub/x.txt");
        QTest::newRow(qPrintable(QStringLiteral("file link, engine %1").arg(engine)))
            << engine << "y.txt" << QString();
    }
}

void tst_ZlibHelper::linksPlantedDuringARunAreNotFollowed()
{
    QFETCH(int, engine);
    QFETCH(QString, planted);
    QFETCH(QString, error);
    // Name order and archive order alike: a.txt, then sub/x.txt, then y.txt.
    const QString archive = m_tmp.filePath("planted.zip");
    QVERIFY(PyZip(archive, {Row("a.txt", QString(64 * 1024, QLatin1Char('a'))), Row("sub/x.txt", "payload x"),
                            Row("y.txt", "payload y")}));
    QTemporaryDir box;
    const QString dest = box.filePath("dest");
    WriteFile(box.filePath("outside/y.txt"), "precious");
    Recorder rec;
    ZlibHelper helper;
    Attach(helper, rec);
    // On the worker, between its first bytes and its next entry.
    std::atomic<bool> blPlanted{false};
    connect(
        &helper, &ZlibHelper::signUnzipProgress, &helper,
        [&](qint64 _nDone, qint64, const QString&) {
            if (_nDone == 0 || blPlanted.exchange(true))
                return;
            const QString target = box.filePath(planted == "sub" ? "outside" : "outside/y.txt");
            if (!QFile::link(target, dest + "/" + planted))
                qWarning() << "cannot plant" << planted;
        },
        Qt::DirectConnection);
    if (engine == 1)
        helper.startUnzip(archive, dest, "p");
    else
        helper.startUnzipV2(archive, dest, "p");
    QTRY_VERIFY_WITH_TIMEOUT(rec.Done(), kWaitMs);
    QCoreApplication::processEvents();
    QVERIFY(blPlanted);
    if (error.isEmpty()) {
        QCOMPARE(rec.errors, QStringList());
        // The link gave way to the file; what it pointed at is untouched.
        QVERIFY(!QFileInfo(dest + "/y.txt").isSymLink());
        QCOMPARE(ReadFile(dest + "/y.txt"), QByteArray("payload y"));
    } else {
        QCOMPARE(rec.errors, QStringList{Stage() + QString(error).replace("@", dest)});
    }
    QCOMPARE(ReadFile(box.filePath("outside/y.txt")), QByteArray("precious"));
    QCOMPARE(QDir(box.filePath("outside")).entryList(QDir::Files), QStringList{"y.txt"});
}

void tst_ZlibHelper::destinationOtherUsersControlIsRefused_data()
{
    QTest::addColumn<QString>("setup");   // what stands on the way to <box>/way/dest
    QTest::addColumn<QString>("refusal"); // the folder refused, below the box, and why
    QTest::newRow("under a folder open to all") << "open"
                                                << "way: other users may write into it";
    QTest::newRow("under another user's folder") << "foreign"
                                                 << "way: it belongs to another user (uid 65534)";
    QTest::newRow("through another user's link") << "foreign-link"
                                                 << "way: it is a link of another user (uid 65534)";
}

void tst_ZlibHelper::destinationOtherUsersControlIsRefused()
{
    QFETCH(QString, setup);
    QFETCH(QString, refusal);
    if (setup.startsWith("foreign") && ::geteuid() != 0)
        QSKIP("giving a folder to another user needs root");
    const QString archive = m_tmp.filePath("refused.zip");
    QVERIFY(PyZip(archive, {Row("preUninstall.sh", "echo installed")}));
    for (int engine : {1, 2}) {
        QTemporaryDir box;
        const QString way = box.filePath("way");
        if (setup == "foreign-link") {
            QVERIFY(QDir().mkpath(box.filePath("real")));
            QVERIFY(QFile::link(box.filePath("real"), way));
            QVERIFY(::lchown(QFile::encodeName(way).constData(), 65534, 65534) == 0);
        } else {
            QVERIFY(QDir().mkpath(way));
            QVERIFY(::chmod(QFile::encodeName(way).constData(), setup == "open" ? 0777 : 0755) == 0);
            if (setup == "foreign")
                QVERIFY(::chown(QFile::encodeName(way).constData(), 65534, 65534) == 0);
        }
        const auto rec = Extract(engine, archive, way + "/dest");
        const QString why = box.path() + "/" + refusal;
        QCOMPARE(rec->errors, QStringList{Stage() + (engine == 1 ? Zh("CREATE_PATH_FAILED").arg(why)
                                                                 : "ubable to open sub file:" + why)});
        QCOMPARE(rec->finished, 0);
        QVERIFY(rec->progress.isEmpty());
        // Nothing was made below the refused folder, wherever it leads.
        const QStringList left = setup == "foreign-link" ? QStringList{"real", "way"} : QStringList{"way"};
        QCOMPARE(Snapshot(box.path(), true).keys(), left);
    }
}

void tst_ZlibHelper::safeDestinationsExtract_data()
{
    QTest::addColumn<QString>("dest"); // "@" stands for a fresh name
    QTest::newRow("in the user's temporary folder") << "{tmp}/@/dest/";
    QTest::newRow("directly in the sticky /tmp") << "/tmp/@";
}

void tst_ZlibHelper::safeDestinationsExtract()
{
    QFETCH(QString, dest);
    const QString archive = m_tmp.filePath("safe.zip");
    QVERIFY(PyZip(archive, {Row("bin/run.sh", "echo run"), Row("top.txt", "top")}));
    for (int engine : {1, 2}) {
        const QString path = QString(dest)
                                 .replace("{tmp}", m_tmp.path())
                                 .replace("@", QStringLiteral("qorv-tst-safe-%1-%2")
                                                   .arg(QCoreApplication::applicationPid())
                                                   .arg(engine));
        const auto rec = Extract(engine, archive, path);
        const QMap<QString, QByteArray> tree = Snapshot(path, false);
        QDir(path).removeRecursively();
        QCOMPARE(rec->errors, QStringList());
        QCOMPARE(rec->finished, 1);
        const QMap<QString, QByteArray> expected{{"bin/run.sh", "echo run"}, {"top.txt", "top"}};
        QCOMPARE(tree, expected);
    }
}

void tst_ZlibHelper::linkEntriesBecomePlainFiles_data()
{
    QTest::addColumn<int>("engine");
    QTest::newRow("first engine") << 1;
    QTest::newRow("second engine") << 2;
}

void tst_ZlibHelper::linkEntriesBecomePlainFiles()
{
    QFETCH(int, engine);
    const QString archive = m_tmp.filePath("link-entry.zip");
    QJsonObject link = Row("etc-link", "../../../etc/passwd");
    link.insert("link", true);
    QVERIFY(PyZip(archive, {link, Row("etc-link-user.txt", "next")}));
    const QString dest = m_tmp.filePath(QStringLiteral("out-link-%1").arg(engine));
    const auto rec = Extract(engine, archive, dest);
    QCOMPARE(rec->errors, QStringList());
    const QFileInfo info(dest + "/etc-link");
    QVERIFY(info.isFile());
    QVERIFY(!info.isSymLink());
    QCOMPARE(ReadFile(info.filePath()), QByteArray("../../../etc/passwd"));
    QCOMPARE(ReadFile(dest + "/etc-link-user.txt"), QByteArray("next"));
}

void tst_ZlibHelper::corruptEntriesFail_data()
{
    QTest::addColumn<int>("engine");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("code");
    for (int engine : {1, 2}) {
        QTest::newRow(qPrintable(QStringLiteral("crc engine %1").arg(engine))) << engine << "flip" << 6;
        QTest::newRow(qPrintable(QStringLiteral("short engine %1").arg(engine))) << engine << "short" << 7;
    }
}

void tst_ZlibHelper::corruptEntriesFail()
{
    QFETCH(int, engine);
    QFETCH(QString, damage);
    QFETCH(int, code);
    const QString archive = m_tmp.filePath(QStringLiteral("corrupt-%1.zip").arg(damage));
    const QString payload = QStringLiteral("CORRUPT ") + QString("payload ").repeated(100);
    QVERIFY(PyZip(archive, {Row("victim.txt", payload, damage == "short")}, damage));
    const QString dest = m_tmp.filePath(QStringLiteral("out-corrupt-%1-%2").arg(damage).arg(engine));
    if (engine == 1)
        WriteFile(dest + "/victim.txt", "old content");
    const auto rec = Extract(engine, archive, dest);
    QCOMPARE(rec->finished, 0);
    QCOMPARE(rec->errors.size(), 1);
    if (engine == 1) {
        QCOMPARE(
            rec->errors.first(),
            Stage() +
                QCoreApplication::translate("ZlibHelper", "LOAD_BUFFER_FAILED").arg("victim.txt").arg(code));
        // The old file survives a broken replacement, and no partial file is left beside it.
        QCOMPARE(ReadFile(dest + "/victim.txt"), QByteArray("old content"));
        QCOMPARE(QDir(dest).entryList(QDir::Files | QDir::Hidden), QStringList{"victim.txt"});
    } else {
        QCOMPARE(rec->errors.first(), Stage() + "unable to read sub file:victim.txt");
        QVERIFY(!QFile::exists(dest + "/victim.txt"));
    }
}

void tst_ZlibHelper::replacesReadOnlyFile_data()
{
    QTest::addColumn<int>("engine");
    QTest::addColumn<bool>("keepsMode"); // as the second engine's writing over the old file did
    QTest::newRow("first engine") << 1 << false;
    QTest::newRow("second engine") << 2 << true;
}

void tst_ZlibHelper::replacesReadOnlyFile()
{
    QFETCH(int, engine);
    QFETCH(bool, keepsMode);
    const QString archive = m_tmp.filePath("replace.zip");
    QVERIFY(PyZip(archive, {Row("ro.txt", "new content", true), Row("sub/ro2.txt", "new two")}));
    const QString dest = m_tmp.filePath(QStringLiteral("out-readonly-%1").arg(engine));
    WriteFile(dest + "/ro.txt", "old content that is longer");
    WriteFile(dest + "/sub/ro2.txt", "old two");
    QVERIFY(QFile::setPermissions(dest + "/ro.txt", QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    QVERIFY(QFile::setPermissions(dest + "/sub/ro2.txt", QFileDevice::ReadOwner));
    const auto rec = Extract(engine, archive, dest);
    QCOMPARE(rec->errors, QStringList());
    QCOMPARE(ReadFile(dest + "/ro.txt"), QByteArray("new content"));
    QCOMPARE(ReadFile(dest + "/sub/ro2.txt"), QByteArray("new two"));
    QCOMPARE(QDir(dest).entryList(QDir::Files | QDir::Hidden), QStringList{"ro.txt"});
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QCOMPARE(FileMode(dest + "/ro.txt"), keepsMode ? 0440u : 0666u & ~mask);
}

void tst_ZlibHelper::pathErrorsNameTheTarget()
{
    // A file where a folder is needed, and a folder where a file is needed.
    const QString archive = m_tmp.filePath("blocked.zip");
    QVERIFY(PyZip(archive, {Row("blocker/inner.txt", "x")}));
    const QString dest = m_tmp.filePath("out-blocked");
    WriteFile(dest + "/blocker", "i am a file");
    auto rec = Extract(1, archive, dest);
    QCOMPARE(
        rec->errors,
        QStringList{Stage() +
                    QCoreApplication::translate("ZlibHelper", "CREATE_PATH_FAILED").arg(dest + "/blocker")});
    QCOMPARE(ReadFile(dest + "/blocker"), QByteArray("i am a file"));

    const QString archive2 = m_tmp.filePath("blocked2.zip");
    QVERIFY(PyZip(archive2, {Row("folder", "x")}));
    QVERIFY(QDir().mkpath(dest + "/folder/kept"));
    rec = Extract(1, archive2, dest);
    QCOMPARE(
        rec->errors,
        QStringList{Stage() +
                    QCoreApplication::translate("ZlibHelper", "REMOVE_FILE_FAILED").arg(dest + "/folder")});
    QVERIFY(QFileInfo(dest + "/folder/kept").isDir());
}

void tst_ZlibHelper::stopEndsWithinAnEntry_data()
{
    QTest::addColumn<int>("engine");
    QTest::addColumn<QStringList>("kept"); // files whole before the stop
    QTest::addColumn<QStringList>("gone");
    // The first engine reports after each file, the second after each chunk of the 64 KiB file.
    QTest::newRow("first engine") << 1 << QStringList{"1.txt"} << QStringList{"2.txt", "3.txt"};
    QTest::newRow("second engine") << 2 << QStringList() << QStringList{"1.txt", "2.txt", "3.txt"};
}

void tst_ZlibHelper::stopEndsWithinAnEntry()
{
    QFETCH(int, engine);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, gone);
    const QString archive = m_tmp.filePath("stop.zip");
    const QString first = engine == 1 ? QStringLiteral("one") : QString(64 * 1024, QLatin1Char('1'));
    QVERIFY(PyZip(archive, {Row("1.txt", first), Row("2.txt", "two"), Row("3.txt", "three")}));
    const QString dest = m_tmp.filePath(QStringLiteral("out-stop-%1").arg(engine)) + "/";
    Recorder rec;
    ZlibHelper helper;
    Attach(helper, rec);
    // Hold the worker at its first report until the stop was asked for.
    std::atomic<bool> blReached{false};
    connect(
        &helper, &ZlibHelper::signUnzipProgress, &helper,
        [&](qint64 _nDone, qint64, const QString&) {
            if (_nDone == 0 || blReached)
                return;
            blReached = true;
            QElapsedTimer timer;
            timer.start();
            while (!helper.IsStopRequested() && timer.elapsed() < kWaitMs)
                QThread::yieldCurrentThread();
        },
        Qt::DirectConnection);
    if (engine == 1)
        helper.startUnzip(archive, dest, "stop-id");
    else
        helper.startUnzipV2(archive, dest, "stop-id");
    QTRY_VERIFY_WITH_TIMEOUT(blReached, kWaitMs);
    helper.CancelUnzipTask();
    QTRY_COMPARE_WITH_TIMEOUT(rec.errors.size(), 1, kWaitMs);
    QCoreApplication::processEvents();
    QCOMPARE(rec.errors, QStringList{Stage() + QCoreApplication::translate("ZlibHelper", "USER_STOPED")});
    QCOMPARE(rec.finished, 0);
    for (const QString& name : kept)
        QVERIFY2(QFile::exists(dest + name), qPrintable(name));
    for (const QString& name : gone)
        QVERIFY2(!QFile::exists(dest + name), qPrintable(name));
    QVERIFY(!helper.IsFinished());
}

void tst_ZlibHelper::freshHelperReportsNothing()
{
    Recorder rec;
    {
        ZlibHelper helper;
        Attach(helper, rec);
        helper.CancelUnzipTask();
        helper.CancelUnzipTask();
    }
    QCoreApplication::processEvents();
    QCOMPARE(rec.errors, QStringList());
    QCOMPARE(rec.finished, 0);
}

void tst_ZlibHelper::secondEngineJoinsMissingSeparator()
{
    const QString archive = m_tmp.filePath("sep.zip");
    QVERIFY(PyZip(archive, {Row("a.txt", "a")}));
    const QString dest = m_tmp.filePath("sep/out");
    const auto rec = Extract(2, archive, dest);
    QCOMPARE(rec->errors, QStringList());
    QCOMPARE(ReadFile(dest + "/a.txt"), QByteArray("a"));
    QVERIFY(!QFile::exists(dest + "a.txt"));
}

void tst_ZlibHelper::texts_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<int>("engine");
    QTest::addColumn<QString>("expected"); // %1 = archive path
    QTest::newRow("zh first") << true << 1 << QString::fromUtf8("安装/更新包解压失败|文件无法解析[%1][1]");
    QTest::newRow("zh second") << true << 2
                               << QString::fromUtf8(
                                      "安装/更新包解压失败|can not find any subs in zip file:%1");
    QTest::newRow("keys first") << false << 1 << "UNZIP_PACKAGE_FAILED|QUERY_FILE_LIST_FAILED";
    QTest::newRow("keys second") << false << 2 << "UNZIP_PACKAGE_FAILED|can not find any subs in zip file:%1";
}

void tst_ZlibHelper::texts()
{
    QFETCH(bool, chinese);
    QFETCH(int, engine);
    QFETCH(QString, expected);
    if (!chinese)
        QCoreApplication::removeTranslator(&m_translator);
    // minizip cannot find the end record of an archive that is nothing else; a stub before it helps.
    const QString archive = m_tmp.filePath("empty.zip");
    QVERIFY(PyZip(archive, {}, "prefix"));
    // A text is filled in one call: no "QString::arg: Argument missing" for a bare key.
    static QStringList s_argWarnings;
    s_argWarnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& _text) {
            if (_text.startsWith("QString::arg"))
                s_argWarnings << _text;
        });
    const auto rec = Extract(engine, archive, m_tmp.filePath("out-empty"));
    qInstallMessageHandler(previous);
    QCoreApplication::installTranslator(&m_translator);
    QCOMPARE(rec->errors, QStringList{expected.contains("%1") ? expected.arg(archive) : expected});
    QVERIFY2(s_argWarnings.isEmpty(), qPrintable(s_argWarnings.join('\n')));
}

QTEST_MAIN(tst_ZlibHelper)
#include "tst_ZlibHelper.moc"
