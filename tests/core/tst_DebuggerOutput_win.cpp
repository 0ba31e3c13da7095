// The line reaches a viewer of the debug output, as DebugView reads it: through the DBWIN_BUFFER
// mapping and its two events, which this test owns while it runs.
#include "core/DebuggerOutput.h"

#include <QtTest>

#include <windows.h>

class tst_DebuggerOutput_win : public QObject
{
    Q_OBJECT
private slots:
    void lineReachesTheViewer();
};

void tst_DebuggerOutput_win::lineReachesTheViewer()
{
    const HANDLE bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    const HANDLE dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    const HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    QVERIFY(bufferReady && dataReady && mapping);
    const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096));
    QVERIFY(view);
    SetEvent(bufferReady);

    DebuggerOutput::Write("[W]:", "2024-03-05 14:02:11", "ZmqServer:peer \"app\" gone");

    QCOMPARE(WaitForSingleObject(dataReady, 10000), DWORD(WAIT_OBJECT_0));
    QCOMPARE(*reinterpret_cast<const DWORD*>(view), GetCurrentProcessId());
    QCOMPARE(QByteArray(view + sizeof(DWORD)),
             QByteArray("[W]:2024-03-05 14:02:11\tZmqServer:peer \"app\" gone\n"));
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(dataReady);
    CloseHandle(bufferReady);
}

QTEST_GUILESS_MAIN(tst_DebuggerOutput_win)
#include "tst_DebuggerOutput_win.moc"
