#pragma once

#include <QString>
#include <QtGlobal>

// The result codes of the abilities that run long tasks (downloads, extractions, replaces,
// updates): progress until one final code.
namespace TaskCodes {

constexpr qint64 kProgress = 0;
constexpr qint64 kFinish = 100;
constexpr qint64 kFailed = 101;
constexpr qint64 kTaskExist = 102;
constexpr qint64 kInvalidParam = 103;
constexpr qint64 kTaskNotExist = 104;

// The error text that goes with a code ("finish", "task already exist", ...); a failure carries
// the worker's own text instead.
QString Text(qint64 _nCode);

} // namespace TaskCodes
