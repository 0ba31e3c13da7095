#pragma once

// Whether standard output is a terminal, where a person rather than a program reads it.
bool CtlStdoutIsTerminal();
// The width of the terminal on standard output; 80 when it cannot be told.
int CtlTerminalColumns();
