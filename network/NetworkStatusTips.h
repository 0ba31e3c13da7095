#pragma once

#include <QString>

// The small network-status tips window: its description, asked of the service itself through
// "command_show_tips_view", and the replacement of the one already on screen.
namespace NetworkStatusTips {

// The tips description (every key of a tips view), as compact JSON text; _qstrQssFolder holds
// "qss/network_error_tips.qss" and the "image" folder.
QString Describe(bool _blIsOn, const QString& _qstrMsg, const QString& _qstrQssFolder);
// Sends the service itself the "command_show_tips_view" command for this status.
void Request(bool _blIsOn, const QString& _qstrMsg);
// Closes every network-status tips window on screen; returns how many.
int CloseShown();

} // namespace NetworkStatusTips
