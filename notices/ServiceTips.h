#pragma once

#include "core/JsonCommand.h"
#include "notices/ViewTipsData.h"

#include <QString>

class ViewTips;

// Tips windows the service opens for itself (the network status, the debug window's test). They
// go through "command_show_tips_view" to the service itself, as a client's would, and each can
// be closed again by the guid of the command that opened it; no one searches windows by name.
namespace ServiceTips {

// A description whose style sheet is _qstrQssFile of the service's style folder, with its images.
ViewTipsData Styled(const QString& _qstrQssFile);
// The command that shows _description, from and to the service.
JsonCommand Command(const ViewTipsData& _description);
// Hands the command to the hub; returns its guid.
QString Show(const ViewTipsData& _description);
// Closes the window the command _qstrGuid opened; false when it is not shown (any more).
bool Close(const QString& _qstrGuid);

// Called by the tips ability for every window it opens for the service itself.
void Opened(const JsonCommand& _request, ViewTips* _pViewTips);

} // namespace ServiceTips
