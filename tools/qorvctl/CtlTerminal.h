#pragma once

// Whether standard output is a terminal, where a person rather than a program reads it.
bool CtlStdoutIsTerminal();
