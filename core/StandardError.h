#pragma once

// What the process's standard error leads to, so the log can be repeated there in the form that
// suits it: people at a terminal want the time on each line, the journal stamps lines itself.
namespace StandardError {

enum class Kind { Other, Terminal, Journal };

Kind Detect();

} // namespace StandardError
