#pragma once

// How the service answers each way Windows asks a program to stop. Where the system ends the
// process as soon as the handler returns, the handler waits (bounded) for the clean exit.
namespace StopRequest {

enum class Answer { Ignore, Quit, QuitAndWait };

// _nEvent: a console control event (CTRL_C_EVENT, CTRL_CLOSE_EVENT, ...).
Answer ForConsoleEvent(unsigned long _nEvent);
// WM_ENDSESSION: _blEnding is its wParam, false when the session goes on after all.
Answer ForSessionEnd(bool _blEnding);

} // namespace StopRequest
