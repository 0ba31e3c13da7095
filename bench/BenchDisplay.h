#pragma once

// Starts a private Xvfb display and the service with its windows on it, for the benchmarks that
// watch windows or the service at rest; the reason of a failure goes to standard error.

#include "tests/support/ServiceHarness.h"
#include "tests/support/XvfbDisplay.h"

#include <cstdio>

inline bool StartOnPrivateDisplay(XvfbDisplay& _display, ServiceProcess& _service,
                                  const QSize& _size = QSize(1920, 1080))
{
    if (!_display.start(_size)) {
        std::fprintf(stderr, "%s\n", qPrintable(_display.errorString()));
        return false;
    }
    _service.setDisplay(_display.display());
    if (!_service.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(_service.errorString()));
        return false;
    }
    return true;
}
