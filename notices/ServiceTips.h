#pragma once

#include "core/JsonCommand.h"
#include "notices/ViewTipsData.h"

#include <QPointer>
#include <QString>

#include <map>

class MessageService;
class ViewTips;

// Tips windows the service opens for itself (the network status). Each is asked for with a
// "command_show_tips_view" to the service itself, as a client's would be, and can be closed again
// by the handle Show returned, also while that command is still on its way: its window then never
// opens. The tips ability opens the windows and reports them here. Main thread only.
class ServiceTips
{
public:
    // The guid of the command that asked for the window.
    using Handle = QString;

    explicit ServiceTips(MessageService& _hub);
    ServiceTips(const ServiceTips&) = delete;
    ServiceTips& operator=(const ServiceTips&) = delete;

    // A description whose style sheet is _qstrQssFile of the service's style folder, with its images.
    static ViewTipsData Styled(const QString& _qstrQssFile);
    // The command that shows _description, from and to the service.
    static JsonCommand Command(const ViewTipsData& _description);

    // Sends the command that opens the window.
    Handle Show(const ViewTipsData& _description);
    // Closes the window of _handle, or keeps it from opening; nothing for an empty or finished one.
    void Close(const Handle& _handle);

    // For the tips ability, before it opens the window of _request: false when the request is
    // the service's own and no longer wanted (closed before it arrived, or unknown).
    bool IsWanted(const JsonCommand& _request) const;
    // For the tips ability, once the window of _request is open; a client's request is not ours.
    void Attach(const JsonCommand& _request, ViewTips* _pWindow);

private:
    struct Entry
    {
        bool opened = false;
        QPointer<ViewTips> window; // null once the window deleted itself
    };
    void DropFinished();

    MessageService& m_hub;
    std::map<Handle, Entry> m_mapShown;
};
