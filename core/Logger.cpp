#include "core/Logger.h"

#include "core/CrashHandler.h"
#include "core/DebuggerOutput.h"

#include <QStandardPaths>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
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
    const Result<> opened = m_files.Open(DataRoot(_qstrFolder));
    if (!opened) {
        std::fprintf(stderr, "Logger::Init:the log folder is refused, nothing is logged:%s\n",
                     qPrintable(opened.Error()));
        return false;
    }
    FollowMainFile();
    m_files.Tidy();
    return m_files.IsOpen();
}

void Logger::SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.SetLimits(_nMaxFileBytes, _nMaxTotalBytes);
}

void Logger::ContinueInNextFile()
{
    WritePendingLocked();
    m_files.OpenNextPart();
    FollowMainFile();
    m_files.KeepWithinBound();
}

void Logger::FollowMainFile()
{
    g_fdPending = m_files.MainHandle();
    if (m_files.IsMainOpen())
        CrashHandler::SetLogFile(m_files.MainHandle());
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
    const bool toFile = m_files.IsOpen();
    if (!toFile && m_echo == StandardError::Kind::Other)
        return;
    if (second != m_nStampSecond) {
        m_nStampSecond = second;
        const QDateTime now = QDateTime::currentDateTime();
        m_baStamp = LogText::Stamp(now);
        // A change of daylight saving time reaches the crash line too.
        CrashHandler::SetUtcOffset(now.offsetFromUtc());
    }
    const QByteArray& text = _baText;
    // Standard error waits with the file's lines, so a batch costs one write there too.
    if (m_echo != StandardError::Kind::Other &&
        (m_echo != StandardError::Kind::Journal || m_blJournalAll || IsForJournal(_type, _szCategory))) {
        if (m_baEchoPending.size() + text.size() > static_cast<int>(kPendingBytes))
            WriteEchoLocked();
        m_baEchoPending += LogText::EchoLine(_type, m_baStamp, text, m_echo);
    }
    if (!toFile) {
        if (t_nBatchDepth == 0)
            WriteEchoLocked();
        return;
    }
    DebuggerOutput::Write(LogText::Tag(_type), m_baStamp, text);
    const size_t size = LogText::FileLineBytes(_type, m_baStamp, text);
    if (m_files.IsFullFor(static_cast<qint64>(size)))
        ContinueInNextFile();
    const size_t pending = g_nPending.load();
    if (pending + size <= kPendingBytes) {
        // Assembled in place: a line costs no buffer of its own.
        LogText::PutFileLine(g_pending + pending, _type, m_baStamp, text);
        g_nPending = pending + size;
        m_files.CountMainBytes(static_cast<qint64>(size));
        if (t_nBatchDepth == 0)
            WritePendingLocked();
        return;
    }
    WritePendingLocked();
    QByteArray line(static_cast<int>(size), Qt::Uninitialized);
    LogText::PutFileLine(line.data(), _type, m_baStamp, text);
    if (m_files.WriteMain(line.constData(), line.size()) > 0)
        m_files.CountMainBytes(line.size());
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
    m_files.WriteMain(g_pending, static_cast<qint64>(pending));
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
