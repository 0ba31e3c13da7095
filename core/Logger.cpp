#include "core/Logger.h"

#include "core/CrashHandler.h"
#include "core/DebuggerOutput.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr QIODevice::OpenMode kOpenMode = QIODevice::ReadWrite | QIODevice::Append;

thread_local int t_nBatchDepth = 0;
// Lines held by batches. A fixed array, never moved, so the crash handler can still write it.
constexpr size_t kPendingBytes = 64 * 1024;
char g_pending[kPendingBytes];
std::atomic<size_t> g_nPending{0};
std::atomic<int> g_fdPending{-1};
} // namespace

Logger& Logger::Instance()
{
    static Logger s_logger;
    return s_logger;
}

Logger::~Logger()
{
    m_blHandlerInstalled = false;
    qInstallMessageHandler(nullptr);
}

QString Logger::DataRoot(const QString& _qstrFolder)
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QLatin1Char('/') +
           _qstrFolder;
}

bool Logger::Init(int _nLevel, const QString& _qstrFolder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    WritePendingLocked();
    m_nLevel = _nLevel;
    m_qstrFolder = _qstrFolder;
    m_qstrStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    const QString folder = LogFolder(_qstrFolder);
    m_logFolder = PrivateFolder::Open(DataRoot(_qstrFolder), {QStringLiteral("log")});
    if (!m_logFolder.IsValid()) {
        std::fprintf(stderr, "Logger::Init:the log folder is refused, nothing is logged:%s\n",
                     qPrintable(m_logFolder.Error()));
        return false;
    }
    const bool ok = m_logFolder.OpenFile(m_fileMain, m_qstrStamp + QStringLiteral(".log"), kOpenMode) &&
                    m_logFolder.OpenFile(m_fileJs, m_qstrStamp + QStringLiteral("_js.log"), kOpenMode);
    m_nMainBytes = m_fileMain.size();
    g_fdPending = m_fileMain.handle();
    FollowWithCrashLine();
    RemoveOldLogs(folder, QDateTime::currentDateTime());
    RemoveOldestBeyond(folder, m_nMaxTotalBytes - m_nMaxFileBytes, m_fileMain.fileName());
    return ok;
}

void Logger::SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nMaxTotalBytes = _nMaxTotalBytes;
    m_nMaxFileBytes = qMin(_nMaxFileBytes, _nMaxTotalBytes);
    if (m_fileMain.isOpen())
        RemoveOldestBeyond(LogFolder(m_qstrFolder), m_nMaxTotalBytes - m_nMaxFileBytes,
                           m_fileMain.fileName());
}

void Logger::ContinueInNextFile()
{
    const QString folder = LogFolder(m_qstrFolder);
    WritePendingLocked();
    m_fileMain.close();
    // A part left by an earlier run in the same second is skipped, not appended to.
    QString name;
    do
        name = m_qstrStamp + QLatin1Char('-') + QString::number(m_nNextPart++) + QStringLiteral(".log");
    while (QFileInfo::exists(folder + name));
    m_logFolder.OpenFile(m_fileMain, name, kOpenMode);
    g_fdPending = m_fileMain.handle();
    m_nMainBytes = 0;
    FollowWithCrashLine();
    // Room is kept for the file just begun, so the folder stays within its bound as it grows.
    RemoveOldestBeyond(folder, m_nMaxTotalBytes - m_nMaxFileBytes, m_fileMain.fileName());
}

void Logger::FollowWithCrashLine()
{
    if (m_fileMain.isOpen())
        CrashHandler::SetLogFile(m_fileMain.handle());
    CrashHandler::SetUtcOffset(QDateTime::currentDateTime().offsetFromUtc());
}

void Logger::SetEcho(StandardError::Kind _kind, bool _blJournalAll)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = _kind;
    m_blJournalAll = _blJournalAll;
    CrashHandler::SetEcho(_kind);
}

bool Logger::IsForJournal(QtMsgType _type, const char* _szCategory)
{
    if (_type == QtCriticalMsg || _type == QtFatalMsg)
        return true;
    return _type == QtWarningMsg && _szCategory && std::strcmp(_szCategory, "qorv.service") == 0;
}

static void HandleMessage(QtMsgType _type, const QMessageLogContext& _context, const QString& _qstrText)
{
    Logger::Instance().Write(_type, _qstrText, _context.category);
}

namespace {

QLoggingCategory::CategoryFilter g_pRulesFilter = nullptr;

// After Qt's own rules: debug lines the level drops anyway are not even formatted.
void LevelFilter(QLoggingCategory* _pCategory)
{
    if (g_pRulesFilter)
        g_pRulesFilter(_pCategory);
    if (!Logger::IsWritten(QtDebugMsg))
        _pCategory->setEnabled(QtDebugMsg, false);
}

} // namespace

void Logger::InstallHandler()
{
    qInstallMessageHandler(HandleMessage);
    m_blHandlerInstalled = true;
    // Installing again applies the level to every category that exists.
    const QLoggingCategory::CategoryFilter previous = QLoggingCategory::installFilter(LevelFilter);
    if (previous != LevelFilter)
        g_pRulesFilter = previous;
}

void Logger::WriteLine(const QLoggingCategory& _category, QtMsgType _type, const QByteArray& _baUtf8)
{
    if (!_category.isEnabled(_type))
        return;
    Logger& logger = Instance();
    if (logger.m_blHandlerInstalled) {
        if (IsWritten(_type))
            logger.WriteUtf8(_type, _baUtf8, _category.categoryName());
        return;
    }
    QMessageLogger log(nullptr, 0, nullptr, _category.categoryName());
    const QString text = QString::fromUtf8(_baUtf8);
    if (_type == QtDebugMsg)
        log.debug().noquote() << text;
    else if (_type == QtCriticalMsg)
        log.critical().noquote() << text;
    else
        log.warning().noquote() << text;
}

void Logger::Write(QtMsgType _type, const QString& _qstrText, const char* _szCategory)
{
    // Qt orders its types debug 0, warning 1, critical 2, fatal 3, info 4; info is never written.
    if (IsWritten(_type))
        WriteUtf8(_type, _qstrText.toUtf8(), _szCategory);
}

void Logger::WriteUtf8(QtMsgType _type, const QByteArray& _baText, const char* _szCategory)
{
    // Local time costs a time-zone check per call; the stamp only changes once a second.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool toFile = m_fileMain.isOpen() && m_fileJs.isOpen();
    if (!toFile && m_echo == StandardError::Kind::Other)
        return;
    if (second != m_nStampSecond) {
        m_nStampSecond = second;
        const QDateTime now = QDateTime::currentDateTime();
        m_baStamp = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
        // A change of daylight saving time reaches the crash line too.
        CrashHandler::SetUtcOffset(now.offsetFromUtc());
    }
    const QByteArray& text = _baText;
    // Standard error waits with the file's lines, so a batch costs one write there too.
    if (m_echo != StandardError::Kind::Other &&
        (m_echo != StandardError::Kind::Journal || m_blJournalAll || IsForJournal(_type, _szCategory))) {
        if (m_baEchoPending.size() + text.size() > static_cast<int>(kPendingBytes))
            WriteEchoLocked();
        m_baEchoPending += EchoLine(_type, m_baStamp, text, m_echo);
    }
    if (!toFile) {
        if (t_nBatchDepth == 0)
            WriteEchoLocked();
        return;
    }
    const char* tag = Tag(_type);
    DebuggerOutput::Write(tag, m_baStamp, text);
    const size_t tagSize = std::strlen(tag);
    const size_t size =
        tagSize + static_cast<size_t>(m_baStamp.size()) + 1 + static_cast<size_t>(text.size()) + 2;
    if (m_nMainBytes > 0 && m_nMainBytes + static_cast<qint64>(size) > m_nMaxFileBytes)
        ContinueInNextFile();
    const size_t pending = g_nPending.load();
    if (pending + size <= kPendingBytes) {
        // Assembled in place: a line costs no buffer of its own.
        char* p = g_pending + pending;
        p = std::copy_n(tag, tagSize, p);
        p = std::copy_n(m_baStamp.constData(), m_baStamp.size(), p);
        *p++ = '\t';
        p = std::copy_n(text.constData(), text.size(), p);
        *p++ = '\r';
        *p = '\n';
        g_nPending = pending + size;
        m_nMainBytes += static_cast<qint64>(size);
        if (t_nBatchDepth == 0)
            WritePendingLocked();
        return;
    }
    WritePendingLocked();
    QByteArray line;
    line.reserve(static_cast<int>(size));
    line.append(tag).append(m_baStamp).append('\t').append(text).append("\r\n");
    if (m_fileMain.write(line) > 0)
        m_nMainBytes += line.size();
    m_fileMain.flush();
}

QByteArray Logger::EchoLine(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText,
                            StandardError::Kind _kind)
{
    QByteArray line;
    line.reserve(_baText.size() + 32);
    if (_kind == StandardError::Kind::Journal) {
        // The journal reads "<priority>" at the start of a line: debug, warning, critical, alert.
        static const char* const kPriority[] = {"<7>", "<4>", "<2>", "<1>"};
        const int type = static_cast<int>(_type);
        return line.append(type >= 0 && type < 4 ? kPriority[type] : "<6>")
            .append(Tag(_type))
            .append(_baText)
            .append('\n');
    }
    return line.append(Tag(_type)).append(_baStamp).append('\t').append(_baText).append('\n');
}

void Logger::WriteEchoLocked()
{
    if (m_baEchoPending.isEmpty())
        return;
    std::fwrite(m_baEchoPending.constData(), 1, static_cast<size_t>(m_baEchoPending.size()), stderr);
    std::fflush(stderr);
    m_baEchoPending.clear();
}

void Logger::WritePendingLocked()
{
    WriteEchoLocked();
    const size_t pending = g_nPending.load();
    if (pending == 0)
        return;
    if (m_fileMain.isOpen()) {
        m_fileMain.write(g_pending, static_cast<qint64>(pending));
        m_fileMain.flush();
    }
    g_nPending = 0;
}

Logger::Batch::Batch()
{
    ++t_nBatchDepth;
}

Logger::Batch::~Batch()
{
    if (--t_nBatchDepth > 0)
        return;
    Logger& logger = Instance();
    std::lock_guard<std::mutex> lock(logger.m_mutex);
    logger.WritePendingLocked();
}

void Logger::WritePendingFromSignal()
{
    const int fd = g_fdPending.load();
    const size_t pending = g_nPending.load();
    if (fd >= 0 && pending > 0 && pending <= kPendingBytes)
        (void)!write(fd, g_pending, pending);
}

const char* Logger::Tag(QtMsgType _type)
{
    switch (_type) {
    case QtDebugMsg:
        return "[D]:";
    case QtWarningMsg:
        return "[W]:";
    case QtCriticalMsg:
        return "[C]:";
    case QtFatalMsg:
        return "[F]:";
    default:
        return "";
    }
}

QString Logger::FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText)
{
    return QLatin1String(Tag(_type)) + _time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
           QLatin1Char('\t') + _qstrText;
}

int Logger::RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now)
{
    int removed = 0;
    const QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& info : files) {
        if (!info.fileName().endsWith(QLatin1String(".log")) || info.isSymLink())
            continue;
        const QDateTime written = info.lastModified();
        if (!written.isValid() || written.secsTo(_now) <= kMaxLogAgeSeconds)
            continue;
        if (QFile::remove(info.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

int Logger::RemoveOldestBeyond(const QString& _qstrFolder, qint64 _nMaxTotalBytes, const QString& _qstrKeep)
{
    // Filtered by suffix here: a name filter would compile a regular expression at every start.
    QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QFileInfo& _info) {
                                   return !_info.fileName().endsWith(QLatin1String(".log"),
                                                                     Qt::CaseInsensitive);
                               }),
                files.end());
    // Oldest first; parts written within the same moment go by their number ("-2" before "-10").
    std::sort(files.begin(), files.end(), [](const QFileInfo& _a, const QFileInfo& _b) {
        const QDateTime a = _a.lastModified();
        const QDateTime b = _b.lastModified();
        if (a != b)
            return a < b;
        const QString nameA = _a.fileName();
        const QString nameB = _b.fileName();
        return nameA.size() != nameB.size() ? nameA.size() < nameB.size() : nameA < nameB;
    });
    qint64 total = 0;
    for (const QFileInfo& info : files)
        total += info.size();
    int removed = 0;
    for (const QFileInfo& info : files) {
        if (total <= _nMaxTotalBytes)
            break;
        if (info.isSymLink() || info.absoluteFilePath() == QFileInfo(_qstrKeep).absoluteFilePath())
            continue;
        if (QFile::remove(info.absoluteFilePath())) {
            total -= info.size();
            ++removed;
        }
    }
    return removed;
}

QByteArray Logger::ClipForLog(const QByteArray& _baText)
{
    if (_baText.size() <= kLogClipBytes)
        return _baText;
    return _baText.left(kLogClipBytes) + "...(" + QByteArray::number(_baText.size()) + " bytes)";
}

QByteArray Logger::QuotedUtf8(const QByteArray& _baText)
{
    QByteArray out;
    AppendQuoted(out, _baText);
    return out;
}

namespace {

// True when none of the eight bytes needs more than a copy: no control byte, nothing from 0x7f
// up, no quote and no backslash.
bool PlainWord(quint64 _nWord)
{
    constexpr quint64 kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    const auto hasZero = [](quint64 _v) { return (_v - kOnes) & ~_v & kHighs; };
    const quint64 special = ((_nWord - 0x20 * kOnes) & ~_nWord & kHighs) | (_nWord & kHighs) |
                            hasZero(_nWord ^ (0x7f * kOnes)) | hasZero(_nWord ^ ('"' * kOnes)) |
                            hasZero(_nWord ^ ('\\' * kOnes));
    return special == 0;
}

} // namespace

void Logger::AppendQuoted(QByteArray& _baOut, const QByteArray& _baText)
{
    // Worst case every byte gains a backslash; written straight into the buffer.
    const int start = _baOut.size();
    _baOut.resize(start + _baText.size() * 2 + 2);
    char* p = _baOut.data() + start;
    *p++ = '"';
    const char* in = _baText.constData();
    const char* end = in + _baText.size();
    while (in < end) {
        quint64 word;
        if (end - in >= 8 && (std::memcpy(&word, in, 8), PlainWord(word))) {
            std::memcpy(p, in, 8); // the usual case: eight plain bytes at a time
            p += 8;
            in += 8;
            continue;
        }
        const char c = *in++;
        if (c < 0x20 || c > 0x7e) {
            // Anything but printable ASCII takes Qt's own escaping, so the text stays identical.
            QString escaped;
            QDebug(&escaped).nospace() << _baText;
            _baOut.truncate(start);
            _baOut.append(escaped.toUtf8());
            return;
        }
        if (c == '"' || c == '\\')
            *p++ = '\\';
        *p++ = c;
    }
    *p++ = '"';
    _baOut.truncate(static_cast<int>(p - _baOut.constData()));
}
