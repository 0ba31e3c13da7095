#pragma once

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

// What every fuzz target shares: a Qt application (sockets and translations need one) and no
// log output, so millions of refused inputs do not fill the terminal.
inline void FuzzQuietQt()
{
    static int s_nArgc = 1;
    static char s_szName[] = "qorv-fuzz";
    static char* s_argv[] = {s_szName, nullptr};
    static QCoreApplication* s_pApp = nullptr;
    if (s_pApp)
        return;
    s_pApp = new QCoreApplication(s_nArgc, s_argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

// A fault the fuzzer must report: a broken invariant, not a refused input.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);              \
            abort();                                                                                         \
        }                                                                                                    \
    } while (0)
